#include "qrx/runtime/mutex_lock.h"

#include <cerrno>
#include <cstdio>

namespace {

void ReportFailure(const char* what, int rc) {
    std::printf("ERROR: KoMutexLock::%s() failed with error code = %d, thread id = %lu\n", what, rc,
                static_cast<unsigned long>(pthread_self()));
    std::fflush(stdout);
}

}  // namespace

KoMutexLock::KoMutexLock() : m_lock(), m_initialized(0) {
    init();
}

KoMutexLock::~KoMutexLock() {
    destroy();
}

int KoMutexLock::init() const {
    if (m_initialized != 0) {
        return 0;
    }
    int rc = pthread_mutex_init(&m_lock, nullptr);
    m_initialized = 1;
    return rc;
}

int KoMutexLock::lock() const {
    if (m_initialized == 0) {
        init();
    }
    int rc = pthread_mutex_lock(&m_lock);
    if (rc != 0) {
        ReportFailure("lock", rc);
    }
    return rc;
}

int KoMutexLock::trylock() const {
    if (m_initialized == 0) {
        init();
    }
    return pthread_mutex_trylock(&m_lock);
}

int KoMutexLock::unlock() const {
    if (m_initialized == 0) {
        return init();
    }
    int rc = pthread_mutex_unlock(&m_lock);
    if (rc != 0) {
        ReportFailure("unlock", rc);
    }
    return rc;
}

int KoMutexLock::destroy() {
    if (m_initialized == 0) {
        return 0;
    }
    int rc = pthread_mutex_destroy(&m_lock);
    m_initialized = 0;
    return rc;
}

KoGuard::KoGuard(const KoMutexLock& mutex) : m_pmutex(mutex), m_bLocked(false) {
    relock();
}

KoGuard::~KoGuard() {
    unlock();
}

void KoGuard::unlock() {
    if (!m_bLocked) {
        return;
    }
    m_bLocked = false;
    m_pmutex.unlock();
}

void KoGuard::relock() {
    if (m_bLocked) {
        return;
    }
    m_bLocked = (m_pmutex.lock() == 0);
}

void ko_unlockOnExit(void* mutex) {
    if (mutex != nullptr) {
        pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex));
    }
}
