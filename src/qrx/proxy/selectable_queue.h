#pragma once

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "qrx/proxy/mktutil_mutex.h"
#include "qrx/runtime/thread_notifier.h"

// A lock-protected FIFO of object pointers paired with a pipe: every push writes one byte, so a
// non-empty queue shows up as a readable descriptor that a select/poll loop can wait on, and a
// pop takes everything and drains the pipe. The byte is written and the pipe drained while the
// lock is held, so a reader that wakes on the descriptor and pops finds every pointer whose
// byte it consumed. The queue carries pointers only: it neither owns nor destroys the objects.
// Push, Pop and Notify may run on any thread once Init() succeeded; before that they do nothing.
template <class T>
class CSelectableQueue {
public:
    CSelectableQueue() : m_pMutex(nullptr) {}

    // The mutex must not be held by anyone at this point: destroying a queue while another
    // thread is inside it is a programming error that stops the process. Pointers still queued
    // are dropped, not destroyed.
    virtual ~CSelectableQueue() {
        if (m_pMutex != nullptr) {
            const int rc = pthread_mutex_trylock(m_pMutex);
            if (rc == EBUSY) {
                fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", __FILE__, __LINE__,
                        __PRETTY_FUNCTION__, "pthread_mutex_trylock(m_pMutex) != 16");
                fflush(stderr);
                abort();
            }
            if (rc == 0) {
                pthread_mutex_unlock(m_pMutex);
            }
            MKTUTIL::DeleteMutex(m_pMutex);
            m_pMutex = nullptr;
        }
        m_Notifier.Close();
    }

    CSelectableQueue(const CSelectableQueue&) = delete;
    CSelectableQueue& operator=(const CSelectableQueue&) = delete;

    // Opens the non-blocking pipe (unless open) and creates the mutex. On failure prints the
    // reason to standard error, closes the pipe and leaves the queue inert.
    bool Init() {
        if (m_Notifier.Fd() == -1 && !m_Notifier.Init()) {
            // The notifier has printed "Error:<errno> Could not initialize pipe".
            fputs("Error: could not initialize Notifier", stderr);
            return false;
        }
        if (m_pMutex != nullptr) {
            return true;
        }
        int rc = 0;
        m_pMutex = MKTUTIL::NewMutex(rc);
        if (m_pMutex == nullptr) {
            fprintf(stderr, "Error:%d Could not initialize mutex\n", rc);
            m_Notifier.Close();
            return false;
        }
        try {
            m_Queue.reserve(kInitialCapacity);
        } catch (...) {
            // Pushes grow it when they can.
        }
        return true;
    }

    // The read end of the pipe, or -1.
    int Fd() const { return m_Notifier.Fd(); }

    // Appends p and, when bNotify is set, writes one byte to the pipe (a full pipe already
    // signals readiness, so the write never blocks and its result does not matter). True when
    // p was queued; false for a null p, an uninitialised queue or a failure, in which case p
    // stays with the caller.
    bool Push(T* p, bool bNotify = true) {
        if (p == nullptr || !IsUsable()) {
            return false;
        }
        const int rc = pthread_mutex_lock(m_pMutex);
        if (rc != 0) {
            fprintf(stderr, "Push(): Failed to lock mutex. %s\n", strerror(rc));
            return false;
        }
        bool bQueued = true;
        try {
            m_Queue.push_back(p);
        } catch (...) {
            bQueued = false;
        }
        if (bQueued && bNotify) {
            m_Notifier.Notify();
        }
        Unlock("Push()");
        return bQueued;
    }

    // Moves every queued pointer, in queue order, to the end of vec, empties the queue and
    // drains the pipe. Returns the number moved.
    int Pop(std::vector<T*>& vec) {
        if (!IsUsable()) {
            return 0;
        }
        const int rc = pthread_mutex_lock(m_pMutex);
        if (rc != 0) {
            fprintf(stderr, "Pop(): Failed to lock mutex. %s\n", strerror(rc));
            return 0;
        }
        int nMoved = 0;
        try {
            vec.insert(vec.end(), m_Queue.begin(), m_Queue.end());
            nMoved = static_cast<int>(m_Queue.size());
            m_Queue.clear();  // keeps its capacity
            m_Notifier.Clear();
        } catch (...) {
            // vec could not take them: everything stays queued and the pipe stays readable.
        }
        Unlock("Pop()");
        return nMoved;
    }

    // Makes the descriptor readable without queuing anything.
    void Notify() {
        if (!IsUsable()) {
            return;
        }
        const int rc = pthread_mutex_lock(m_pMutex);
        if (rc != 0) {
            fprintf(stderr, "Notify(): Failed to lock mutex. %s\n", strerror(rc));
            return;
        }
        m_Notifier.Notify();
        Unlock("Notify()");
    }

protected:
    static constexpr size_t kInitialCapacity = 1024;

    bool IsUsable() const { return m_Notifier.Fd() >= 0 && m_pMutex != nullptr; }

    void Unlock(const char* szWho) {
        const int rc = pthread_mutex_unlock(m_pMutex);
        if (rc != 0) {
            fprintf(stderr, "%s: Failed to unlock mutex. %s\n", szWho, strerror(rc));
        }
    }

    ThreadNotifier m_Notifier;
    pthread_mutex_t* m_pMutex;  // null until Init()
    // Pushes go to the back and a pop takes everything, so a vector serves as the FIFO; unlike
    // a deque it keeps its storage when emptied, and a steady stream allocates nothing.
    std::vector<T*> m_Queue;
};
