#include "record_file.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace pyqrx {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the recording's own numbers are stored in the host's little-endian order");

// How long a write waits for an output that takes nothing (a pipe whose reader
// stopped) before it asks the interrupt check again.
constexpr int kWriteWaitMillis = 500;

// The writer's buffer: flushed when an entry does not fit, so that one write
// carries a few megabytes.
constexpr size_t kWriteBuffer = 4u << 20;
constexpr size_t kReadBuffer = 1u << 20;

template <typename T>
char* Put(char* p, T v) {
    memcpy(p, &v, sizeof v);
    return p + sizeof v;
}

template <typename T>
T Get(const char* p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

std::string Where(const std::string& path, uint64_t offset) {
    return path + ": entry at byte " + std::to_string(offset);
}

}  // namespace

bool BlockingCalls::Interrupted() {
    if (m_pCheck != nullptr && m_pCheck(m_pCheckData)) {
        errno = EINTR;
        return true;
    }
    return false;
}

uint64_t NowNanos() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// ---- writer ----

RecordFileWriter::RecordFileWriter() : m_body(nullptr, 0, true) {}

RecordFileWriter::~RecordFileWriter() {
    Close();
}

void RecordFileWriter::Fail(const char* what) {
    if (m_sError.empty()) {
        m_sError = m_sPath + ": " + what + ": " + strerror(errno);
    }
}

bool RecordFileWriter::Open(const char* path, uint64_t startNanos) {
    m_sPath = path;
    m_sError.clear();
    m_nFd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (m_nFd < 0) {
        Fail("cannot create");
        return false;
    }
    // A pipe or terminal that takes nothing must not hold a write for good: the writes
    // wait in WaitWritable instead, where the interrupt check is asked (a regular file
    // takes its bytes at once all the same).
    const int flags = fcntl(m_nFd, F_GETFL);
    if (flags >= 0) {
        fcntl(m_nFd, F_SETFL, flags | O_NONBLOCK);
    }
    m_buf.resize(kWriteBuffer);
    m_nUsed = 0;
    m_nBytes = 0;
    char* p = m_buf.data();
    memcpy(p, kRecordMagic, sizeof kRecordMagic);
    Put<uint64_t>(p + sizeof kRecordMagic, startNanos);
    m_nUsed = kRecordFileHeader;
    return true;
}

bool RecordFileWriter::Flush() {
    if (m_nFd < 0 || !m_sError.empty()) {
        return false;
    }
    size_t done = 0;
    while (done < m_nUsed) {
        if (!WaitWritable()) {
            Fail("cannot write");
            return false;
        }
        const ssize_t n =
            m_calls.Around([&] { return write(m_nFd, m_buf.data() + done, m_nUsed - done); });
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;  // the wait before the next write asks the check
            }
            Fail("cannot write");
            return false;
        }
        done += static_cast<size_t>(n);
    }
    m_nBytes += m_nUsed;
    m_nUsed = 0;
    return true;
}

bool RecordFileWriter::WaitWritable() {
    for (;;) {
        pollfd p{m_nFd, POLLOUT, 0};
        // Without a check nothing gives the wait up: it lasts until there is room.
        const int rc =
            m_calls.Around([&] { return poll(&p, 1, m_calls.HasCheck() ? kWriteWaitMillis : -1); });
        if (rc > 0 || (rc < 0 && errno != EINTR)) {
            return true;  // write() goes on, or says what is wrong
        }
        if (m_calls.Interrupted()) {
            return false;
        }
    }
}

bool RecordFileWriter::Close() {
    if (m_nFd < 0) {
        return m_sError.empty();
    }
    bool ok = Flush();
    if (close(m_nFd) != 0 && ok) {
        Fail("cannot close");
        ok = false;
    }
    m_nFd = -1;
    return ok && m_sError.empty();
}

char* RecordFileWriter::BeginEntry(size_t headLen) {
    if (m_nFd < 0 || !m_sError.empty()) {
        return nullptr;
    }
    if (m_nUsed + headLen > m_buf.size() && !Flush()) {
        return nullptr;
    }
    return m_buf.data() + m_nUsed;
}

void RecordFileWriter::PutHead(char* p, uint32_t len, uint64_t nanos, RecordKind kind, int code,
                               const char* topic, size_t topicLen) {
    p = Put<uint32_t>(p, len);
    p = Put<uint64_t>(p, nanos);
    p = Put<uint8_t>(p, kind);
    p = Put<uint8_t>(p, static_cast<uint8_t>(code));
    p = Put<uint16_t>(p, static_cast<uint16_t>(topicLen));
    if (topicLen > 0) {
        memcpy(p, topic, topicLen);
    }
}

bool RecordFileWriter::AppendRecord(RecordKind kind, uint64_t nanos, const char* topic,
                                    size_t topicLen, const CSymData& data) {
    if (topicLen > 0xFFFF) {
        topicLen = 0xFFFF;
    }
    const size_t headLen = kRecordEntryHeader + topicLen;
    // The body is encoded straight into the buffer's free room; when it does
    // not fit, the buffer is written out and the body encoded again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        char* p = BeginEntry(headLen);
        if (p == nullptr) {
            return false;
        }
        const size_t room = m_buf.size() - m_nUsed - headLen;
        m_body.Attach(p + headLen, static_cast<int>(room), true);
        if (CSymDataAux::SerializeSymOut(data, m_body)) {
            const size_t bodyLen = static_cast<size_t>(m_body.GetLength());
            PutHead(p, static_cast<uint32_t>(headLen + bodyLen - 4), nanos, kind, 0, topic,
                    topicLen);
            m_nUsed += headLen + bodyLen;
            return true;
        }
        if (m_nUsed == 0) {
            break;  // an empty buffer cannot take it either
        }
        if (!Flush()) {
            return false;
        }
    }
    errno = EMSGSIZE;
    Fail("record too large for the recording");
    return false;
}

bool RecordFileWriter::AppendStatus(RecordKind kind, uint64_t nanos, int code, const char* topic,
                                    const char* text) {
    const size_t topicLen = topic != nullptr ? strnlen(topic, 0xFFFF) : 0;
    const size_t textLen = text != nullptr ? strnlen(text, 0xFFFF) : 0;
    const size_t len = kRecordEntryHeader + topicLen + textLen;
    char* p = BeginEntry(len);
    if (p == nullptr) {
        return false;
    }
    PutHead(p, static_cast<uint32_t>(len - 4), nanos, kind, code, topic, topicLen);
    if (textLen > 0) {
        memcpy(p + kRecordEntryHeader + topicLen, text, textLen);
    }
    m_nUsed += len;
    return true;
}

// ---- reader ----

RecordFileReader::RecordFileReader() : m_body(nullptr, 0, false) {}

RecordFileReader::~RecordFileReader() {
    if (m_nFd >= 0) {
        close(m_nFd);
    }
}

bool RecordFileReader::Open(const char* path) {
    m_sPath = path;
    // A pipe opens once its writer has come.
    m_nFd = m_calls.Around([&] { return open(path, O_RDONLY | O_CLOEXEC); });
    if (m_nFd < 0) {
        m_sError = m_sPath + ": cannot open: " + strerror(errno);
        return false;
    }
    m_buf.resize(kReadBuffer);
    if (!Fill(kRecordFileHeader) || memcmp(m_buf.data(), kRecordMagic, sizeof kRecordMagic) != 0) {
        m_sError = m_bReadError ? m_sPath + ": cannot read: " + strerror(errno)
                                : m_sPath + ": not a qrx recording (no QRXREC01 header)";
        return false;
    }
    m_nStart = Get<uint64_t>(m_buf.data() + sizeof kRecordMagic);
    m_nPos = kRecordFileHeader;
    m_nOffset = kRecordFileHeader;
    return true;
}

bool RecordFileReader::Fill(size_t n) {
    if (m_nAvail - m_nPos >= n) {
        return true;
    }
    // Keep the unread bytes at the front, with room for n.
    memmove(m_buf.data(), m_buf.data() + m_nPos, m_nAvail - m_nPos);
    m_nAvail -= m_nPos;
    m_nPos = 0;
    if (m_buf.size() < n) {
        m_buf.resize(n);
    }
    while (m_nAvail < n) {
        if (m_calls.Interrupted()) {
            m_bReadError = true;
            return false;
        }
        const ssize_t got = m_calls.Around(
            [&] { return read(m_nFd, m_buf.data() + m_nAvail, m_buf.size() - m_nAvail); });
        if (got < 0) {
            if (errno == EINTR) {
                continue;  // the check above says whether to give up
            }
            m_bReadError = true;
            return false;
        }
        if (got == 0) {
            return false;
        }
        m_nAvail += static_cast<size_t>(got);
    }
    return true;
}

int RecordFileReader::Next(RecordEntry& entry) {
    if (m_nFd < 0) {
        return 0;
    }
    if (!Fill(4)) {
        if (m_bReadError) {
            m_sError = m_sPath + ": cannot read: " + strerror(errno);
            return -1;
        }
        if (m_nAvail == m_nPos) {
            return 0;  // the end, between entries
        }
        m_sError = Where(m_sPath, m_nOffset) + " is cut short (the file ends inside it)";
        return -1;
    }
    const uint32_t len = Get<uint32_t>(m_buf.data() + m_nPos);
    if (len < kRecordEntryHeader - 4 || len > kMaxRecordEntry) {
        m_sError = Where(m_sPath, m_nOffset) + " has an impossible length " + std::to_string(len);
        return -1;
    }
    if (!Fill(4 + static_cast<size_t>(len))) {
        m_sError = m_bReadError
                       ? m_sPath + ": cannot read: " + strerror(errno)
                       : Where(m_sPath, m_nOffset) + " is cut short (the file ends inside it)";
        return -1;
    }
    const char* p = m_buf.data() + m_nPos;
    entry.nanos = Get<uint64_t>(p + 4);
    const uint8_t kind = Get<uint8_t>(p + 12);
    entry.code = Get<uint8_t>(p + 13);
    entry.topicLen = Get<uint16_t>(p + 14);
    if (kind > kRecordTopicStatus || kRecordEntryHeader + entry.topicLen > 4 + len) {
        m_sError = Where(m_sPath, m_nOffset) + " is malformed (kind " + std::to_string(kind) +
                   ", topic of " + std::to_string(entry.topicLen) + " bytes)";
        return -1;
    }
    entry.kind = static_cast<RecordKind>(kind);
    entry.topic = p + kRecordEntryHeader;
    entry.payload = entry.topic + entry.topicLen;
    entry.payloadLen = 4 + len - kRecordEntryHeader - entry.topicLen;
    m_nPos += 4 + len;
    m_nOffset += 4 + len;
    ++m_nCount;
    return 1;
}

bool RecordFileReader::Decode(const RecordEntry& entry, CSymData& data) {
    data.clear();
    m_body.Attach(const_cast<char*>(entry.payload), static_cast<int>(entry.payloadLen), false);
    if (!CSymDataAux::SerializeSymIn(data, m_body) || m_body.GetRemaining() != 0) {
        m_sError =
            Where(m_sPath, m_nOffset - entry.payloadLen - entry.topicLen - kRecordEntryHeader) +
            " holds a malformed record";
        return false;
    }
    return true;
}

}  // namespace pyqrx
