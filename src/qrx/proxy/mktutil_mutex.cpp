#include "qrx/proxy/mktutil_mutex.h"

#include <cerrno>
#include <new>

namespace MKTUTIL {

pthread_mutex_t* NewMutex(int& rc) {
    pthread_mutex_t* pMutex = new (std::nothrow) pthread_mutex_t;
    if (pMutex == nullptr) {
        rc = ENOMEM;
        return nullptr;
    }
    rc = pthread_mutex_init(pMutex, nullptr);
    if (rc != 0) {
        delete pMutex;
        return nullptr;
    }
    return pMutex;
}

void DeleteMutex(pthread_mutex_t* pMutex) {
    if (pMutex != nullptr) {
        pthread_mutex_destroy(pMutex);
        delete pMutex;
    }
}

Mutex::~Mutex() {
    DeleteMutex(m_pMutex);
    m_pMutex = nullptr;
}

bool Mutex::Init() {
    if (m_pMutex != nullptr) {
        return true;
    }
    int rc = 0;
    m_pMutex = NewMutex(rc);
    return m_pMutex != nullptr;
}

bool Mutex::Lock() {
    return m_pMutex != nullptr && pthread_mutex_lock(m_pMutex) == 0;
}

bool Mutex::Unlock() {
    return m_pMutex != nullptr && pthread_mutex_unlock(m_pMutex) == 0;
}

}  // namespace MKTUTIL
