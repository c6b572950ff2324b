#include "qrx/net/spare_fd.h"

#include <fcntl.h>

void CSpareFd::Hold() {
    if (m_nFd < 0) {
        m_nFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

void CSpareFd::Release() {
    if (m_nFd >= 0) {
        close(m_nFd);
        m_nFd = -1;
    }
}
