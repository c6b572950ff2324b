#include "qrx/runtime/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace {

// EISDIR or ENODEV for what a reader must not read, else 0.
int Refusal(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) {
        return EISDIR;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        const bool bNull = S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3;
        return bNull ? 0 : ENODEV;
    }
    return 0;
}

}  // namespace

int open_input_file(const char* szPath) {
    if (szPath == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // Looked at before opening, so that a device is not opened at all (opening some has effects).
    struct stat st;
    if (stat(szPath, &st) == 0 && Refusal(st) != 0) {
        errno = Refusal(st);
        return -1;
    }
    const int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    // What was opened may not be what was looked at, if the name changed in between.
    const int err = fstat(fd, &st) != 0 ? errno : Refusal(st);
    if (err != 0) {
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

FILE* fopen_input_file(const char* szPath) {
    const int fd = open_input_file(szPath);
    if (fd < 0) {
        return nullptr;
    }
    FILE* f = fdopen(fd, "r");
    if (f == nullptr) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return f;
}
