// CAppConn: buffered non-blocking reading and writing of messages.
//
// The receive buffer holds nbRLeft unconsumed bytes from offset nbRUsed; new
// bytes are read only once the unconsumed bytes have been moved to its start.
// The send buffer holds nbWLeft bytes that a non-blocking write could not
// deliver; new output never overtakes them. A batched write hands several
// messages to the kernel in one gathering call and leaves the socket in the
// state that writing them one by one would.
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qrx/net/app_conn.h"
#include "qrx/net/fd_wait.h"
#include "qrx/net/sock_utils.h"
#include "qrx/runtime/stdio_logger.h"

namespace {

constexpr char kSTX = 2;
constexpr char kETX = 3;
constexpr int kWriteWaitMs = 8000;
constexpr int kAckWaitMs = 15000;
constexpr int kWouldBlockReport = 100;

// Keeps errno across logging, so that callers can still inspect the error
// that ended an operation.
class ErrnoKeeper {
public:
    ErrnoKeeper() : m_nSaved(errno) {}
    ~ErrnoKeeper() { errno = m_nSaved; }

private:
    int m_nSaved;
};

int read_be16(const char* p) {
    return (static_cast<unsigned char>(p[0]) << 8) | static_cast<unsigned char>(p[1]);
}

int read_host16(const char* p) {
    unsigned short v;
    memcpy(&v, p, sizeof v);
    return v;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

// A buffer of 65,536 bytes or more would wrap the 16-bit length on the wire:
// every write refuses it whole.
#define QRX_REFUSE_UNWRITABLE(buf, len)                                  \
    do {                                                                 \
        if ((len) > MAX_MSG_LEN) {                                       \
            QRX_LOG_ERROR_AT("Message too big! >= " << MAX_MSG_LEN + 1); \
            return 1;                                                    \
        }                                                                \
        if ((len) < 0 || ((buf) == nullptr && (len) > 0)) {              \
            QRX_LOG_ERROR_AT("Invalid buffer of length " << (len));      \
            return 1;                                                    \
        }                                                                \
    } while (0)

bool CAppConn::would_block(bool print_err) {
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK) {
        if (print_err && ++m_wb_count % kWouldBlockReport == 0) {
            QRX_LOG_WARNING("Would Block (" << m_wb_count << ")"
                                            << " (" << m_descr << ")");
        }
        errno = err;
        return true;
    }
    if (err == EINTR) {
        if (print_err) {
            QRX_LOG_WARNING("CAppConn::would_block():(" << m_descr << ") EINTR");
        }
        errno = err;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------- reading

int CAppConn::ReadNoBlk(int& bytes_rcvd) {
    bytes_rcvd = 0;
    const bool bLargeList = m_buf_grow_size != DEFAULT_BUF_SIZE;
    for (;;) {
        if (nbRLeft >= maxRlen) {
            if (!bLargeList && maxRlen >= m_nMaxBufferSize) {
                if (++m_rnb_count % kWouldBlockReport == 0) {
                    QRX_LOG_WARNING("CAppConn::ReadNoBlk():(" << m_descr << ") " << m_rnb_count
                                                              << " MaxBufLen exceeded.");
                }
                return 0;
            }
            if (bLargeList && maxRlen >= m_nRecvBufferLimit) {
                if (bytes_rcvd > 0) {
                    return 0;  // what this call read is handled first
                }
                // Unconsumed input fills the whole buffer: no message that
                // fits the limit is that long.
                QRX_LOG_ERROR("CAppConn::ReadNoBlk():(" << m_descr << ") receive buffer limit of "
                                                        << m_nRecvBufferLimit
                                                        << " bytes reached; closing");
                return 1;
            }
            int capacity = maxRlen + m_buf_grow_size;
            if (bLargeList && capacity > m_nRecvBufferLimit) {
                capacity = m_nRecvBufferLimit;
            }
            char* grown = static_cast<char*>(realloc(pRdata, static_cast<size_t>(capacity)));
            if (grown == nullptr) {
                QRX_LOG_ERROR("CAppConn::ReadNoBlk():(" << m_descr << ") realloc failed.");
                return 1;
            }
            pRdata = grown;
            maxRlen = capacity;
        }
        int room = maxRlen - nbRLeft;
        if (room > MAX_READ_PER_CALL - bytes_rcvd) {
            room = MAX_READ_PER_CALL - bytes_rcvd;
        }
        const int n = Read(pRdata + nbRLeft, room);
        if (n <= 0 && bytes_rcvd > 0) {
            // The bytes this call has read come first: the next read meets
            // the close (or the end of stream behind an error) again.
            return 0;
        }
        if (n == 0) {
            QRX_LOG_WARNING_AT("CAppConn::ReadNoBlk():(" << m_descr << ") read returned 0.");
            return 1;
        }
        if (n < 0) {
            if (would_block(false)) {
                return 0;
            }
            sock_err(m_descr, "ReadNoBlock");
            return 1;
        }
        nbRLeft += n;
        bytes_rcvd += n;
        if (nbRLeft < maxRlen || bytes_rcvd >= MAX_READ_PER_CALL) {
            return 0;
        }
        // The read filled the buffer: grow it and read on, within this call's share.
    }
}

void CAppConn::CompactReceiveBuffer() {
    if (nbRUsed != 0 && nbRLeft > 0) {
        memmove(pRdata, pRdata + nbRUsed, static_cast<size_t>(nbRLeft));
    }
    nbRUsed = 0;
}

int CAppConn::PendingMsgLen(int& field) const {
    field = 0;
    const char* at = pRdata + nbRUsed;
    if (m_is_stream) {
        if (nbRLeft < 2) {
            return 0;
        }
        field = read_be16(at);
    } else {
        if (nbRLeft < MIN_MSG_LEN) {
            return 0;
        }
        field = read_host16(at + 6);
    }
    if (field < MIN_MSG_LEN) {
        return -1;
    }
    return field <= nbRLeft ? field : 0;
}

bool CAppConn::IsReadDataAvailable(int& mlen) {
    // A length below the header is reported too: the read that follows fails.
    return PendingMsgLen(mlen) != 0;
}

int CAppConn::ReadMsgNoblok(char*& pret, char* puser) {
    if (puser != nullptr) {
        *puser = 0;
    }
    pret = nullptr;
    if (nbRUsed == 0) {
        int got;
        if (ReadNoBlk(got) != 0) {
            return 1;
        }
    }
    if (nbRLeft <= 0) {
        nbRUsed = 0;
        return 0;
    }
    int field;
    const int len = PendingMsgLen(field);
    if (len < 0) {
        QRX_LOG_ERROR("CAppConn::ReadMsgNoblok():(" << m_descr << ") malformed message length "
                                                    << field);
        return 1;
    }
    if (len == 0) {
        CompactReceiveBuffer();
        return 0;
    }
    char* at = pRdata + nbRUsed;
    if (!m_is_stream) {
        // Handed out in place, unless the message before it left it where its fields would
        // be misaligned: then a copy in the (aligned) message memory, valid as long.
        if (reinterpret_cast<uintptr_t>(at) % alignof(double) != 0) {
            if (m_pstreambuf == nullptr) {
                m_pstreambuf = static_cast<char*>(malloc(MSG_MEM_LEN));
                if (m_pstreambuf == nullptr) {
                    QRX_LOG_ERROR("CAppConn::ReadMsgNoblok():(" << m_descr << ") malloc failed.");
                    return 1;
                }
            }
            memcpy(m_pstreambuf, at, static_cast<size_t>(len));
            at = m_pstreambuf;
        }
        pret = at;
        nbRUsed += len;
        nbRLeft -= len;
        return 0;
    }
    // The whole message is there: the input stream reads it in place.
    CMsgHdrStream::MakeStreamFromBuffer(at, len, &m_inStream);
    if (m_pstreambuf == nullptr) {
        m_pstreambuf = static_cast<char*>(malloc(MSG_MEM_LEN));
        if (m_pstreambuf == nullptr) {
            QRX_LOG_ERROR("CAppConn::ReadMsgNoblok():(" << m_descr << ") malloc failed.");
            return 1;
        }
    }
    m_Allocator.DeallocateAll();
    const bool ok =
        m_inStream.SerializeAll(reinterpret_cast<MsgHdrCmn*>(m_pstreambuf), &m_Allocator);
    nbRUsed += len;
    nbRLeft -= len;
    if (!ok) {
        return 1;
    }
    pret = m_pstreambuf;
    return 0;
}

int CAppConn::ReadRawMsgNoblok(char*& pret, int* pdat_len) {
    pret = nullptr;
    if (pdat_len != nullptr) {
        *pdat_len = 0;
    }
    if (nbRUsed == 0) {
        int got;
        if (ReadNoBlk(got) != 0) {
            return 1;
        }
    }
    if (nbRLeft > 0) {
        pret = pRdata + nbRUsed;
        if (pdat_len != nullptr) {
            *pdat_len = nbRLeft;
        }
        nbRUsed += nbRLeft;
        nbRLeft = 0;
    } else {
        nbRUsed = 0;
    }
    return 0;
}

int CAppConn::ReadStampMSG(char*& pret, int& rlen) {
    pret = nullptr;
    rlen = 0;
    if (nbRUsed == 0) {
        int got;
        if (ReadNoBlk(got) != 0) {
            return 1;
        }
        if (got == 0) {
            return 0;
        }
    }
    for (;;) {
        while (nbRLeft > 2 && pRdata[nbRUsed] != kSTX) {
            ++nbRUsed;
            --nbRLeft;
        }
        if (nbRLeft <= 2) {
            CompactReceiveBuffer();
            return 0;
        }
        const char* frame = pRdata + nbRUsed;
        if (!is_digit(frame[1])) {
            QRX_LOG_ERROR("Error In Stamp Transport Layer, Missing LOL");
            nbRUsed += 2;
            nbRLeft -= 2;
            continue;
        }
        const int digits = frame[1] - '0';
        if (nbRLeft < digits + 3) {
            CompactReceiveBuffer();
            return 0;
        }
        long payload = 0;
        for (int i = 0; i < digits && is_digit(frame[2 + i]); ++i) {
            payload = payload * 10 + (frame[2 + i] - '0');
        }
        const long total = digits + payload + 3;
        if (total > nbRLeft) {
            // A frame that the receive buffer can never hold would stall the
            // connection for good.
            const int limit =
                m_buf_grow_size == DEFAULT_BUF_SIZE ? m_nMaxBufferSize : m_nRecvBufferLimit;
            if (total > limit) {
                QRX_LOG_ERROR("Error In Stamp Transport Layer, frame of "
                              << total << " bytes exceeds the buffer limit of " << limit);
                return 1;
            }
            CompactReceiveBuffer();
            return 0;
        }
        if (frame[total - 1] != kETX) {
            QRX_LOG_ERROR("Error In Stamp Transport Layer, Missing TTC!!");
            nbRUsed += 2;
            nbRLeft -= 2;
            continue;
        }
        nbRUsed += static_cast<int>(total);
        nbRLeft -= static_cast<int>(total);
        if (digits >= 1) {
            pret = const_cast<char*>(frame) + 2 + digits;
            rlen = static_cast<int>(payload);
            return 0;
        }
        // STX '0' ETX carries nothing: consumed, and the scan goes on.
    }
}

int CAppConn::get_msg_AppORC(char*& pdat, bool isAck) {
    pdat = nullptr;
    if (m_fd < 0) {
        fprintf(stderr, "get_msg_AppORC(): invalid pconn\n");
        return 1;
    }
    for (;;) {
        // A message already buffered is handed over without waiting.
        int mlen;
        if (!IsReadDataAvailable(mlen)) {
            const int ready = wait_fd_ready(m_fd, POLLIN, isAck ? kAckWaitMs : 0);
            if (ready == 0) {
                if (!isAck) {
                    return 0;
                }
                fprintf(stderr, "get_msg_AppORC(): waiting\n");
                continue;
            }
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                sock_err(m_descr, "select() returned");
                return 1;
            }
        }
        if (ReadCmsgNoblok(pdat) != 0) {
            return 1;
        }
        if (pdat != nullptr) {
            return 0;
        }
    }
}

int get_msg_AppORC(CAppConn* pcon, char*& pdat, bool isAck) {
    pdat = nullptr;
    if (pcon == nullptr) {
        fprintf(stderr, "get_msg_AppORC(): invalid pconn\n");
        return 1;
    }
    if (pcon->ReadCmsgNoblok(pdat) != 0) {
        return 1;
    }
    if (pdat != nullptr) {
        return 0;
    }
    return pcon->get_msg_AppORC(pdat, isAck);
}

// ---------------------------------------------------------------- writing

bool CAppConn::GrowSendBuffer(int capacity, const char* who) {
    char* grown = static_cast<char*>(realloc(pWdata, static_cast<size_t>(capacity)));
    if (grown == nullptr) {
        ErrnoKeeper keep;
        QRX_LOG_ERROR("CAppConn::" << who << "():(" << m_descr << ") realloc failed");
        return false;
    }
    pWdata = grown;
    maxWlen = capacity;
    return true;
}

int CAppConn::KeepUnwritten(const char* rest, int len, bool bStarted, const char* who,
                            bool bReportGrowth) {
    ErrnoKeeper keep;
    if (nbWLeft + len > maxWlen) {
        // Once part of the message is out, its rest must follow it: dropping
        // it would leave a torn message on the wire.
        if (maxWlen >= m_nMaxBufferSize && !bStarted) {
            QRX_LOG_ERROR("CAppConn::" << who << "():(" << m_descr << ") MaxBufLen exceeded");
            return 1;
        }
        const int capacity = nbWLeft + len + DEFAULT_BUF_SIZE;
        if (!GrowSendBuffer(capacity, who)) {
            return 1;
        }
        if (bReportGrowth) {
            fprintf(stderr, "%s realloc(W) %d\n", m_descr, capacity);
        }
    }
    memcpy(pWdata + nbWLeft, rest, static_cast<size_t>(len));
    nbWLeft += len;
    return 0;
}

int CAppConn::WriteUntilBlocked(const char* buf, int len, int& done) {
    while (done < len) {
        const int n = Write(buf + done, len - done);
        if (n > 0) {
            done += n;
        } else if (n == 0 || would_block(true)) {
            return 1;
        } else {
            return -1;
        }
    }
    return 0;
}

int CAppConn::WriteBufNoblok(const char* buf, int len) {
    QRX_REFUSE_UNWRITABLE(buf, len);
    if (nbWLeft != 0) {
        ErrnoKeeper keep;
        QRX_LOG_ERROR("CAppConn::WriteBufNoblok():(" << m_descr << ") Unwritten data exists");
        return 1;
    }
    int done = 0;
    const int state = WriteUntilBlocked(buf, len, done);
    if (state > 0) {
        return KeepUnwritten(buf + done, len - done, done > 0, "WriteBufNoblok", false);
    }
    if (state < 0) {
        sock_err(m_descr, make_str("WriteNoBlock: write(%d)", m_fd));
        return 1;
    }
    return 0;
}

int CAppConn::WriteBufNoblok1(const char* buf, int len) {
    QRX_REFUSE_UNWRITABLE(buf, len);
    int done = 0;
    if (nbWLeft == 0) {
        const int state = WriteUntilBlocked(buf, len, done);
        if (state < 0) {
            sock_err(m_descr, make_str("WriteBufNoblok: write(%d)", m_fd));
            return 1;
        }
        if (state == 0) {
            return 0;
        }
    }
    return KeepUnwritten(buf + done, len - done, done > 0, "WriteBufNoblok1", true);
}

int CAppConn::WriteRemainsNoblok() {
    int done = 0;
    const int state = WriteUntilBlocked(pWdata, nbWLeft, done);
    if (state == 0) {
        nbWLeft = 0;
        return 0;
    }
    {
        ErrnoKeeper keep;
        if (done > 0) {
            memmove(pWdata, pWdata + done, static_cast<size_t>(nbWLeft - done));
            nbWLeft -= done;
        }
    }
    if (state > 0) {
        return 0;
    }
    sock_err(m_descr, "WriteRemainsNoBlock");
    return 1;
}

int CAppConn::WriteBlock(const char* buf, int len) {
    QRX_REFUSE_UNWRITABLE(buf, len);
    if (nbWLeft != 0) {
        ErrnoKeeper keep;
        QRX_LOG_ERROR("CAppConn::WriteBlock():(" << m_descr << ") Unwritten data exists");
        return 1;
    }
    int done = 0;
    while (done < len) {
        const int n = Write(buf + done, len - done);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            QRX_LOG_ERROR("CAppConn::WriteBlock():(" << m_descr << ") returned EINTR.");
            continue;
        }
        if (n == 0 || would_block(true)) {
            for (;;) {
                const int ready = wait_fd_ready(m_fd, POLLOUT, kWriteWaitMs);
                if (ready > 0) {
                    break;
                }
                if (ready == 0) {
                    QRX_LOG_WARNING("Write Block timed out. Trying again!!");
                    continue;
                }
                if (errno != EINTR) {
                    sock_err(m_descr, "select() returned");
                    return 1;
                }
            }
            continue;
        }
        ErrnoKeeper keep;
        QRX_LOG_ERROR("CAppConn::WriteBlock():(" << m_descr << ") write() returned errno = "
                                                 << errno << " left=" << len - done);
        return 1;
    }
    return 0;
}

int CAppConn::WriteMsgNoblok(MsgHdrCmn* p) {
    const char* buf;
    int len;
    if (!FrameMsg(p, &m_outStream, buf, len)) {
        QRX_LOG_ERROR_AT("Outgoing message has not been written.");
        return 1;
    }
    return WriteBufNoblok(buf, len);
}

int CAppConn::WriteMsgBlock(MsgHdrCmn* p) {
    const char* buf;
    int len;
    if (!FrameMsg(p, &m_outStream, buf, len)) {
        QRX_LOG_ERROR_AT("Outgoing message has NOT been written.");
        return 1;
    }
    return WriteBlock(buf, len);
}

// ---------------------------------------------------------------- batched writing

CMsgHdrStream* CAppConn::BatchStream(int slot) {
    if (slot == 0) {
        return &m_outStream;
    }
    std::unique_ptr<CMsgHdrStream>& stream = m_batchStreams[slot - 1];
    if (!stream) {
        stream.reset(new (std::nothrow) CMsgHdrStream(true, 1024, 1024));
    }
    return stream.get();
}

bool CAppConn::FrameMsg(MsgHdrCmn* p, CMsgHdrStream* stream, const char*& buf, int& len) {
    if (p == nullptr) {
        return false;
    }
    if (!m_is_stream) {
        buf = reinterpret_cast<const char*>(p);
        len = p->msglen;
        return true;
    }
    // The stream refuses output longer than MAX_MSG_LEN: what it made fits.
    if (stream == nullptr || !stream->SerializeAll(p, nullptr)) {
        return false;
    }
    char* out;
    stream->GetBuf(out, len);
    buf = out;
    return true;
}

int CAppConn::WriteMsgsNoblok(MsgHdrCmn* const* ppMsgs, int nMsgs, int& nWritten) {
    nWritten = 0;
    if (nMsgs <= 0) {
        return 0;
    }
    if (ppMsgs == nullptr) {
        QRX_LOG_ERROR_AT("Outgoing message has not been written.");
        errno = 0;
        return 1;
    }
    if (nbWLeft != 0) {
        ErrnoKeeper keep;
        QRX_LOG_ERROR("CAppConn::WriteMsgsNoblok():(" << m_descr << ") Unwritten data exists");
        return 1;
    }
    struct iovec iov[WRITE_BATCH_MSGS];
    while (nWritten < nMsgs) {
        // Frame the next messages. One that cannot be written ends the batch
        // before it and is reported once everything ahead of it is out.
        int nBatch = 0;
        bool bUnwritable = false;
        while (nBatch < WRITE_BATCH_MSGS && nWritten + nBatch < nMsgs) {
            // The raw form sends the messages themselves: no slot stream.
            CMsgHdrStream* pStream = nullptr;
            if (m_is_stream) {
                pStream = BatchStream(nBatch);
                if (pStream == nullptr) {
                    break;  // no memory for another slot: the batch is shorter
                }
            }
            const char* buf = nullptr;
            int len = 0;
            if (!FrameMsg(ppMsgs[nWritten + nBatch], pStream, buf, len)) {
                bUnwritable = true;
                break;
            }
            iov[nBatch].iov_base = const_cast<char*>(buf);
            iov[nBatch].iov_len = static_cast<size_t>(len);
            ++nBatch;
        }

        // Hand them over until all are out or the socket would block.
        int first = 0;          // the first message not wholly written
        bool bStarted = false;  // part of it is out
        for (;;) {
            while (first < nBatch && iov[first].iov_len == 0) {
                ++first;
                bStarted = false;
            }
            if (first == nBatch) {
                break;
            }
            const ssize_t n = WriteVec(iov + first, nBatch - first);
            if (n > 0) {
                size_t left = static_cast<size_t>(n);
                while (left > 0) {
                    const size_t take = left < iov[first].iov_len ? left : iov[first].iov_len;
                    iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + take;
                    iov[first].iov_len -= take;
                    left -= take;
                    if (iov[first].iov_len == 0) {
                        ++first;
                        bStarted = false;
                    } else {
                        bStarted = true;
                    }
                }
                continue;
            }
            nWritten += first;
            if (n == 0 || would_block(true)) {
                // As a write of this message alone would: its rest is kept.
                if (KeepUnwritten(static_cast<const char*>(iov[first].iov_base),
                                  static_cast<int>(iov[first].iov_len), bStarted, "WriteBufNoblok",
                                  false) != 0) {
                    return 1;
                }
                ++nWritten;
                return 0;
            }
            sock_err(m_descr, make_str("WriteNoBlock: write(%d)", m_fd));
            if (bStarted) {
                // Sent again whole later, the message would be torn: its rest
                // follows it instead, when the socket can take it.
                KeepUnwritten(static_cast<const char*>(iov[first].iov_base),
                              static_cast<int>(iov[first].iov_len), true, "WriteBufNoblok", false);
                ++nWritten;
            }
            return 1;
        }
        nWritten += nBatch;
        if (bUnwritable) {
            QRX_LOG_ERROR_AT("Outgoing message has not been written.");
            errno = 0;  // not the socket's fault
            return 1;
        }
    }
    return 0;
}
