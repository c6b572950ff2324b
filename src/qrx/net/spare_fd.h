// A descriptor kept open for the moment the process has no other. A server whose accept fails
// for want of descriptors uses its room to take the waiting connection and close it: left in
// the listening socket's queue, the connection would keep that socket ready, and the server's
// loop spinning, until a descriptor came free.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

class CSpareFd {
public:
    CSpareFd() = default;
    ~CSpareFd() { Release(); }
    CSpareFd(const CSpareFd&) = delete;
    CSpareFd& operator=(const CSpareFd&) = delete;

    // Opens the spare descriptor unless it is held; without one nothing can be shed.
    void Hold();
    void Release();
    bool Held() const { return m_nFd >= 0; }

    // Accepts the next connection waiting on nListenFd in the spare descriptor's room, hands
    // it to tell (to say whose it was), closes it and holds the spare again. False when there
    // was no spare or no connection to take.
    template <class Tell>
    bool Shed(int nListenFd, Tell tell) {
        if (m_nFd < 0) {
            return false;
        }
        Release();
        const int fd = accept4(nListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            tell(fd);
            close(fd);
        }
        Hold();
        return fd >= 0;
    }

private:
    int m_nFd = -1;
};
