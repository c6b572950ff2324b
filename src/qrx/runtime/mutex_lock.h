#pragma once

#include <pthread.h>

#include <cstdint>

// A POSIX mutex (default attributes, not recursive) that initialises itself on
// first use. Every operation may be called on a constant object so that const
// members of an owner can still take the lock.
class KoMutexLock {
public:
    KoMutexLock();
    virtual ~KoMutexLock();

    KoMutexLock(const KoMutexLock&) = delete;
    KoMutexLock& operator=(const KoMutexLock&) = delete;

    // Initialises the mutex unless done already; returns the pthread error code (0 on success).
    int init() const;
    // Initialises if needed, then locks. A failure is reported on standard output and its
    // error code returned.
    int lock() const;
    // Non-blocking attempt: 0 when the lock was taken, EBUSY when someone else holds it.
    int trylock() const;
    // Unlocks. A lock that was never initialised is only initialised (nothing to release).
    int unlock() const;
    // Destroys the mutex if initialised; a later lock() initialises it again.
    int destroy();

private:
    mutable pthread_mutex_t m_lock;
    mutable int32_t m_initialized;
};

// Holds a KoMutexLock for the lifetime of a scope. An early unlock() is remembered,
// so the destructor releases the lock only if the guard still holds it.
class KoGuard {
public:
    explicit KoGuard(const KoMutexLock& mutex);
    virtual ~KoGuard();

    KoGuard(const KoGuard&) = delete;
    KoGuard& operator=(const KoGuard&) = delete;

    // Releases the lock early; does nothing when it is already released.
    void unlock();
    // Takes the lock again; does nothing while the guard still holds it (the lock is not
    // recursive, so a second lock in the same thread would never return).
    void relock();
    bool IsLocked() const { return m_bLocked; }

private:
    const KoMutexLock& m_pmutex;
    bool m_bLocked;
};

// Clean-up handler (e.g. for pthread_cleanup_push): unlocks the pthread_mutex_t it is given.
void ko_unlockOnExit(void* mutex);
