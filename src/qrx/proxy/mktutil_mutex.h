#pragma once

#include <pthread.h>

namespace MKTUTIL {

// A pointer-sized wrapper around one POSIX mutex (default attributes, not recursive). The mutex
// exists only after Init(); until then Lock() and Unlock() do nothing, so code that locks an
// uninitialised Mutex runs unguarded.
class Mutex {
public:
    Mutex() : m_pMutex(nullptr) {}
    ~Mutex();

    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    // Creates the mutex; true when it exists afterwards (also when it existed already).
    bool Init();
    // True when the mutex was locked (unlocked); false without a mutex or on a failure.
    bool Lock();
    bool Unlock();
    bool IsInitialized() const { return m_pMutex != nullptr; }

private:
    pthread_mutex_t* m_pMutex;
};

// Holds a Mutex for a scope; a null Mutex means no locking is needed (one-thread modes).
class Guard {
public:
    explicit Guard(Mutex* pMutex) : m_pMutex(pMutex) {
        if (m_pMutex != nullptr) {
            m_pMutex->Lock();
        }
    }
    ~Guard() {
        if (m_pMutex != nullptr) {
            m_pMutex->Unlock();
        }
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    Mutex* m_pMutex;
};

// A heap-allocated mutex with default attributes for the pools and queues, which keep only a
// pointer so that a never-initialised object is recognisably inert. Null on failure, with the
// pthread error code (or ENOMEM) in rc.
pthread_mutex_t* NewMutex(int& rc);
// Destroys and frees a mutex made by NewMutex; null is ignored.
void DeleteMutex(pthread_mutex_t* pMutex);

}  // namespace MKTUTIL
