// The qrx recording: a session's updates and status events with their receive
// times, as `qrx record` writes them and `qrx replay` and `qrx dump` read them.
//
//   file header, 16 bytes: the magic "QRXREC01", then the time the recording
//     began (u64, nanoseconds since the epoch);
//   entries, back to back: the length of the rest of the entry (u32), the
//     receive time (u64, ns since the epoch), the kind (u8: 0 update,
//     1 snapshot record, 2 connection status, 3 topic status), the status code
//     (u8, 0 for records), the topic's length (u16) and bytes, then the
//     payload: a record's body in the record encoding of the wire, or a
//     status event's text.
//
// The file's own numbers are little-endian; record bodies keep the wire's
// big-endian encoding, so a body is written and read by the library's codec.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "qrx/wire/net_stream.h"

class CSymData;

namespace pyqrx {

enum RecordKind : uint8_t {
    kRecordUpdate = 0,
    kRecordSnapshot = 1,
    kRecordStatus = 2,
    kRecordTopicStatus = 3,
};

constexpr char kRecordMagic[8] = {'Q', 'R', 'X', 'R', 'E', 'C', '0', '1'};
constexpr size_t kRecordFileHeader = 16;
// Length, time, kind, code and topic length.
constexpr size_t kRecordEntryHeader = 4 + 8 + 1 + 1 + 2;
// Largest entry a reader accepts: a record body fits one message (64 kB),
// a topic or a status text far less.
constexpr uint32_t kMaxRecordEntry = 1u << 20;

// Nanoseconds since the epoch, from the real-time clock.
uint64_t NowNanos();

// Asked before each read of a recording (again when a signal interrupts one
// that waited), and while a write waits for an output that takes nothing (a
// pipe whose reader stopped): true gives the read or write up, as an error
// with errno EINTR, so that a Ctrl-C or a stop is not waited out.
using InterruptCheck = bool (*)(void* data);
// Called right before and right after each wait for the output and each write
// to it (or each opening and read of a recording), on the calling thread, to give
// an interpreter lock up meanwhile.
using WaitHook = void (*)(void* data);

// The interrupt check and the wait hooks of a reader or writer, and the system
// calls made between the hooks.
class BlockingCalls {
public:
    void SetInterruptCheck(InterruptCheck check, void* data) {
        m_pCheck = check;
        m_pCheckData = data;
    }
    void SetWaitHooks(WaitHook enter, WaitHook leave, void* data) {
        m_pEnter = enter;
        m_pLeave = leave;
        m_pData = data;
    }
    bool HasCheck() const { return m_pCheck != nullptr; }
    // True when the check gives up (errno is then EINTR).
    bool Interrupted();
    // Runs call (a system call) between the hooks, keeping the errno it left.
    template <class Call>
    auto Around(Call call) -> decltype(call()) {
        if (m_pEnter != nullptr) {
            m_pEnter(m_pData);
        }
        const auto result = call();
        const int err = errno;
        if (m_pLeave != nullptr) {
            m_pLeave(m_pData);
        }
        errno = err;
        return result;
    }

private:
    InterruptCheck m_pCheck = nullptr;
    void* m_pCheckData = nullptr;
    WaitHook m_pEnter = nullptr;
    WaitHook m_pLeave = nullptr;
    void* m_pData = nullptr;
};

// Appends entries to a file through a large buffer; one write per few
// megabytes. Not thread-safe.
class RecordFileWriter {
public:
    RecordFileWriter();
    ~RecordFileWriter();
    RecordFileWriter(const RecordFileWriter&) = delete;
    RecordFileWriter& operator=(const RecordFileWriter&) = delete;

    // Creates (or truncates) the file and writes its header; false with Error() set.
    bool Open(const char* path, uint64_t startNanos);
    // An update or snapshot record: its body in the record encoding.
    bool AppendRecord(RecordKind kind, uint64_t nanos, const char* topic, size_t topicLen,
                      const CSymData& data);
    // A status event (topic may be null).
    bool AppendStatus(RecordKind kind, uint64_t nanos, int code, const char* topic,
                      const char* text);
    // Writes what is buffered; false with Error() set.
    bool Flush();
    // Flushes and closes; false with Error() set when anything failed.
    bool Close();

    void SetInterruptCheck(InterruptCheck check, void* data) {
        m_calls.SetInterruptCheck(check, data);
    }
    void SetWaitHooks(WaitHook enter, WaitHook leave, void* data) {
        m_calls.SetWaitHooks(enter, leave, data);
    }
    bool IsOpen() const { return m_nFd >= 0; }
    uint64_t BytesWritten() const { return m_nBytes + m_nUsed; }
    const std::string& Error() const { return m_sError; }

private:
    // Room for the entry header and topic at the buffer's end, flushing first
    // when they do not fit; null on failure.
    char* BeginEntry(size_t headLen);
    void PutHead(char* p, uint32_t len, uint64_t nanos, RecordKind kind, int code,
                 const char* topic, size_t topicLen);
    void Fail(const char* what);
    // Waits until the file takes bytes; false when the interrupt check gives up.
    bool WaitWritable();

    int m_nFd = -1;
    std::vector<char> m_buf;
    size_t m_nUsed = 0;
    uint64_t m_nBytes = 0;  // written to the file so far
    CNetStream m_body;      // attached to the buffer's free room while a body is encoded
    BlockingCalls m_calls;
    std::string m_sPath;
    std::string m_sError;
};

// One entry as read; pointers valid until the next call of Next.
struct RecordEntry {
    uint64_t nanos;
    RecordKind kind;
    int code;
    const char* topic;
    size_t topicLen;
    const char* payload;
    size_t payloadLen;
};

// Reads entries in order through a buffer.
class RecordFileReader {
public:
    RecordFileReader();
    ~RecordFileReader();
    RecordFileReader(const RecordFileReader&) = delete;
    RecordFileReader& operator=(const RecordFileReader&) = delete;

    // Opens the file and checks its header; false with Error() set.
    bool Open(const char* path);
    // 1 with the next entry, 0 at the end of the file, -1 for a malformed or
    // truncated entry or a read error (Error() says which, and where).
    int Next(RecordEntry& entry);
    // Decodes a record entry's body into data (emptied first); false when the
    // body is malformed.
    bool Decode(const RecordEntry& entry, CSymData& data);

    void SetInterruptCheck(InterruptCheck check, void* data) {
        m_calls.SetInterruptCheck(check, data);
    }
    // Called around the opening of the file and each read of it.
    void SetWaitHooks(WaitHook enter, WaitHook leave, void* data) {
        m_calls.SetWaitHooks(enter, leave, data);
    }
    uint64_t StartNanos() const { return m_nStart; }
    // Entries read so far, and the file offset of the next one.
    uint64_t Count() const { return m_nCount; }
    uint64_t Offset() const { return m_nOffset; }
    const std::string& Error() const { return m_sError; }

private:
    // Makes n bytes available at m_buf[m_nPos]; false at the end of the file
    // (m_nAvail - m_nPos then says how many there were) or on a read error.
    bool Fill(size_t n);

    int m_nFd = -1;
    std::vector<char> m_buf;
    size_t m_nPos = 0;
    size_t m_nAvail = 0;
    bool m_bReadError = false;
    uint64_t m_nStart = 0;
    uint64_t m_nCount = 0;
    uint64_t m_nOffset = 0;
    CNetStream m_body;
    BlockingCalls m_calls;
    std::string m_sPath;
    std::string m_sError;
};

}  // namespace pyqrx
