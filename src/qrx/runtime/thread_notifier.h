#pragma once

// A pipe pair that wakes a select/poll loop: another thread (or a callback) writes a byte
// with Notify(), the loop watches Fd() and drains the pipe with Clear(). Both ends are
// non-blocking, so Notify() never blocks on a full pipe and Clear() never blocks on an empty
// one. Notify() may be called from any thread while the pipe is open; Init() and Close()
// belong to the owner.
class ThreadNotifier {
public:
    ThreadNotifier();
    ~ThreadNotifier();  // closes both ends

    ThreadNotifier(const ThreadNotifier&) = delete;
    ThreadNotifier& operator=(const ThreadNotifier&) = delete;

    // Opens the pipe (a no-op when it is open already). On failure prints
    // "Error:<errno> Could not initialize pipe" to standard error, leaves both ends at -1
    // and returns false.
    bool Init();
    // Closes both ends (each set back to -1); safe to call repeatedly.
    void Close();
    // The read end to watch, or -1 when not open.
    int Fd() const { return m_arrFds[0]; }
    // The write end, or -1 when not open.
    int WriteFd() const { return m_arrFds[1]; }
    bool IsOpen() const { return m_arrFds[0] >= 0 && m_arrFds[1] >= 0; }
    // Writes the single byte "1". True when the byte was written or the pipe is already full
    // (which signals readiness just as well); false when not open or on another error.
    bool Notify();
    // Reads the pipe empty in chunks of up to 1024 bytes.
    void Clear();

private:
    int m_arrFds[2];
};
