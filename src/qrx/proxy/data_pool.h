#pragma once

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "qrx/proxy/mktutil_mutex.h"

// Policies kept for the pool's signature; no pool operation calls them.
template <class T>
struct CDataPoolDefaultInitializer {
    bool operator()(T*) { return true; }
};

template <class T>
struct CDataPoolDefaultDestroyer {
    bool operator()(T*) { return true; }
};

// How a pool builds a new element: value-initialised, so plain records start zeroed and classes
// get their default constructor (CGrowingBuffer's gives 512 bytes). Specialise for element
// types that need arguments. Create may throw (or return null); the pool counts that as a
// failed allocation.
template <class T>
struct CDataPoolCreator {
    static T* Create() { return new T(); }
};

// A lock-protected free list of pre-built objects that grows in fixed steps and never shrinks.
// Objects are handed out and taken back last in, first out, so a steady stream of Get/Release
// runs on warm objects without calling the allocator: the free list keeps room for every object
// the pool ever created. The pool owns its idle objects; whoever took one owns it until it is
// released. Every operation but construction and destruction is inert until Init() succeeded.
template <class T, class Initializer = CDataPoolDefaultInitializer<T>,
          class Destroyer = CDataPoolDefaultDestroyer<T>>
class CDataPool {
public:
    static constexpr int kReportEvery = 10000;
    static constexpr int kMaxFailuresPerStep = 100;
    static constexpr useconds_t kBatchRetryPauseUs = 5000;

    // Builds nBasePoolSize objects at once; the same number is added at every growth step.
    CDataPool(int nBasePoolSize, const char* szName)
        : m_pMutex(nullptr),
          m_nBasePoolSize(nBasePoolSize),
          m_nTotalCreated(0),
          m_szPoolName{},
          m_nOldMultiple(0) {
        SetDPoolName(szName);
        GrowStep(false);
        m_nOldMultiple = m_nTotalCreated / kReportEvery;
    }

    // Deletes every idle object; objects that are out are not touched.
    virtual ~CDataPool() {
        for (T* p : m_vecFree) {
            delete p;
        }
        m_vecFree.clear();
        MKTUTIL::DeleteMutex(m_pMutex);
        m_pMutex = nullptr;
    }

    CDataPool(const CDataPool&) = delete;
    CDataPool& operator=(const CDataPool&) = delete;

    // Creates the pool's mutex. On failure prints "Error:<rc> Could not initialize mutex" to
    // standard error and leaves the pool inert. A pool that has its mutex already stays as is.
    bool Init() {
        if (m_pMutex != nullptr) {
            return true;
        }
        int rc = 0;
        m_pMutex = MKTUTIL::NewMutex(rc);
        if (m_pMutex == nullptr) {
            fprintf(stderr, "Error:%d Could not initialize mutex\n", rc);
            return false;
        }
        return true;
    }

    // The name used in messages: at most 255 characters are kept.
    void SetDPoolName(const char* szName) {
        if (szName == nullptr) {
            szName = "";
        }
        strncpy(m_szPoolName, szName, sizeof(m_szPoolName) - 1);
        m_szPoolName[sizeof(m_szPoolName) - 1] = '\0';
    }
    const char* GetDPoolName() const { return m_szPoolName; }

    // One idle object, growing the pool by a step when none is left. Null when the pool has no
    // mutex or nothing could be created.
    T* Get() {
        if (m_pMutex == nullptr || pthread_mutex_lock(m_pMutex) != 0) {
            return nullptr;
        }
        if (m_vecFree.empty()) {
            GrowStep(false);
        }
        T* p = nullptr;
        if (!m_vecFree.empty()) {
            p = m_vecFree.back();
            m_vecFree.pop_back();
        }
        ReportGrowth();
        pthread_mutex_unlock(m_pMutex);
        return p;
    }

    // Fills ppArr[0..nSize) under one lock, growing as many steps as needed. Returns nSize, or 0
    // with the array zeroed when a growth step created nothing; 0 at once for nSize <= 0 or a
    // pool without mutex.
    int Get(T** ppArr, int nSize) {
        if (ppArr == nullptr || nSize <= 0 || m_pMutex == nullptr) {
            return 0;
        }
        if (pthread_mutex_lock(m_pMutex) != 0) {
            std::fill(ppArr, ppArr + nSize, nullptr);
            return 0;
        }
        const size_t nWanted = static_cast<size_t>(nSize);
        while (m_vecFree.size() < nWanted) {
            if (GrowStep(true) == 0) {
                std::fill(ppArr, ppArr + nSize, nullptr);
                pthread_mutex_unlock(m_pMutex);
                return 0;
            }
        }
        // ppArr[0] is the entry nSize places from the top, ppArr[nSize - 1] the top.
        const auto first = m_vecFree.end() - static_cast<std::ptrdiff_t>(nWanted);
        std::copy(first, m_vecFree.end(), ppArr);
        m_vecFree.erase(first, m_vecFree.end());
        ReportGrowth();
        pthread_mutex_unlock(m_pMutex);
        return nSize;
    }

    // Takes an object back; null, or a pool without mutex, is ignored.
    void Release(T* p) {
        if (p == nullptr || m_pMutex == nullptr || pthread_mutex_lock(m_pMutex) != 0) {
            return;
        }
        PushFree(p);
        pthread_mutex_unlock(m_pMutex);
    }

    // Takes back every non-null entry of ppArr[0..nSize), in array order, under one lock.
    void Release(T** ppArr, int nSize) {
        if (ppArr == nullptr || nSize <= 0 || m_pMutex == nullptr ||
            pthread_mutex_lock(m_pMutex) != 0) {
            return;
        }
        for (int i = 0; i < nSize; ++i) {
            if (ppArr[i] != nullptr) {
                PushFree(ppArr[i]);
            }
        }
        pthread_mutex_unlock(m_pMutex);
    }

    bool IsInitialized() const { return m_pMutex != nullptr; }
    int GetBasePoolSize() const { return m_nBasePoolSize; }
    // Objects created over the pool's lifetime.
    int GetTotalCreated() const {
        Locker lock(m_pMutex);
        return m_nTotalCreated;
    }
    // Idle objects.
    int GetNumFree() const {
        Locker lock(m_pMutex);
        return static_cast<int>(m_vecFree.size());
    }

private:
    // Holds the mutex for a scope when there is one (accessors of a pool that may be inert).
    class Locker {
    public:
        explicit Locker(pthread_mutex_t* pMutex)
            : m_pMutex(pMutex != nullptr && pthread_mutex_lock(pMutex) == 0 ? pMutex : nullptr) {}
        ~Locker() {
            if (m_pMutex != nullptr) {
                pthread_mutex_unlock(m_pMutex);
            }
        }

    private:
        pthread_mutex_t* m_pMutex;
    };

    // Appends to the free list. Room for every created object is reserved at each growth step,
    // so this allocates only when foreign objects are released beyond that; should even that
    // fail, the object is deleted, as the pool would at its end.
    void PushFree(T* p) {
        try {
            m_vecFree.push_back(p);
        } catch (...) {
            delete p;
        }
    }

    // Creates up to m_nBasePoolSize objects into the free list and returns how many. A failed
    // creation is retried, at once for a single Get, after a pause and with a message each time
    // for a batch Get; the step gives up on the 101st failure.
    int GrowStep(bool bBatch) {
        if (m_nBasePoolSize <= 0) {
            return 0;
        }
        try {
            m_vecFree.reserve(static_cast<size_t>(m_nTotalCreated) +
                              static_cast<size_t>(m_nBasePoolSize));
        } catch (...) {
            // Each push below then reports its own failure.
        }
        int nCreated = 0;
        int nFailures = 0;
        char szWhat[256];
        while (nCreated < m_nBasePoolSize) {
            T* p = TryCreate(szWhat, sizeof(szWhat));
            if (p != nullptr) {
                ++nCreated;
                ++m_nTotalCreated;
                continue;
            }
            ++nFailures;
            if (bBatch) {
                fprintf(stderr, "%s: Exception occured while allocating new memory.\n", szWhat);
            }
            if (nFailures > kMaxFailuresPerStep) {
                if (!bBatch) {
                    fprintf(stderr, "%s: Exception occured while allocating new memory.\n", szWhat);
                }
                fprintf(stderr, "%s: Data Pool Unable to obtain new Memory.\n", m_szPoolName);
                break;
            }
            if (bBatch) {
                usleep(kBatchRetryPauseUs);
            }
        }
        return nCreated;
    }

    // One new object appended to the free list, or null with the reason in szWhat.
    T* TryCreate(char* szWhat, size_t nWhatSize) {
        T* p = nullptr;
        try {
            p = CDataPoolCreator<T>::Create();
            if (p == nullptr) {
                snprintf(szWhat, nWhatSize, "%s", "std::bad_alloc");
                return nullptr;
            }
            m_vecFree.push_back(p);
            return p;
        } catch (const std::exception& e) {
            snprintf(szWhat, nWhatSize, "%s", e.what());
        } catch (...) {
            snprintf(szWhat, nWhatSize, "%s", "unknown exception");
        }
        delete p;  // built, but the free list had no room for it
        return nullptr;
    }

    // One line each time the objects created pass another multiple of 10000.
    void ReportGrowth() {
        const int nMultiple = m_nTotalCreated / kReportEvery;
        if (nMultiple > m_nOldMultiple) {
            m_nOldMultiple = nMultiple;
            fflush(stderr);
            fprintf(stderr, "%s: Created 10000 more Objects. Total = %d\n", m_szPoolName,
                    m_nTotalCreated);
            fflush(stderr);
        }
    }

    std::vector<T*> m_vecFree;  // idle objects; the back is the top
    pthread_mutex_t* m_pMutex;  // null until Init()
    int m_nBasePoolSize;
    int m_nTotalCreated;
    char m_szPoolName[256];
    int m_nOldMultiple;  // m_nTotalCreated / 10000 when growth was last reported
    Initializer m_Initializer;
    Destroyer m_Destroyer;
};
