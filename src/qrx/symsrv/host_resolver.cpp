#include "qrx/symsrv/host_resolver.h"

#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>

// What the server and the worker share; the worker keeps it alive for as long as it runs, so
// that the server may go while a lookup is under way.
struct CHostResolver::Shared {
    struct Question {
        int nKey = 0;
        unsigned long nSeq = 0;
        std::string strHost;
        int nPort = 0;
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Question> questions;
    std::vector<Answer> answers;
    bool bClosed = false;
    int nEventFd = -1;
    Lookup lookup;

    ~Shared() {
        if (nEventFd >= 0) {
            close(nEventFd);
        }
    }

    Answer Look(const Question& q) const {
        Answer a;
        a.nKey = q.nKey;
        a.nSeq = q.nSeq;
        if (lookup) {
            a.bFound = lookup(q.strHost, q.nPort, a.addr);
            return a;
        }
        addrinfo hints;
        memset(&hints, 0, sizeof hints);
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* pRes = nullptr;
        if (getaddrinfo(q.strHost.c_str(), std::to_string(q.nPort).c_str(), &hints, &pRes) == 0 &&
            pRes != nullptr && pRes->ai_addrlen <= sizeof a.addr) {
            memcpy(&a.addr, pRes->ai_addr, pRes->ai_addrlen);
            a.bFound = true;
        }
        if (pRes != nullptr) {
            freeaddrinfo(pRes);
        }
        return a;
    }

    static void Work(std::shared_ptr<Shared> self) {
        std::unique_lock<std::mutex> lock(self->mutex);
        for (;;) {
            self->wake.wait(lock, [&] { return self->bClosed || !self->questions.empty(); });
            if (self->bClosed) {
                return;
            }
            const Question q = std::move(self->questions.front());
            self->questions.pop_front();
            lock.unlock();
            const Answer a = self->Look(q);
            lock.lock();
            if (self->bClosed) {
                return;
            }
            self->answers.push_back(a);
            const uint64_t one = 1;
            (void)!write(self->nEventFd, &one, sizeof one);
        }
    }
};

CHostResolver::CHostResolver() = default;

CHostResolver::~CHostResolver() {
    if (m_pShared) {
        std::lock_guard<std::mutex> lock(m_pShared->mutex);
        m_pShared->bClosed = true;
        m_pShared->wake.notify_all();
    }
}

int CHostResolver::Fd() const {
    return m_pShared ? m_pShared->nEventFd : -1;
}

bool CHostResolver::Begin() {
    std::shared_ptr<Shared> pShared(new (std::nothrow) Shared);
    if (!pShared) {
        return false;
    }
    pShared->nEventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (pShared->nEventFd < 0) {
        return false;
    }
    try {
        pShared->lookup = m_lookup;
        std::thread(&Shared::Work, pShared).detach();
    } catch (...) {
        return false;  // no thread to be had
    }
    m_pShared = std::move(pShared);
    return true;
}

bool CHostResolver::Ask(int nKey, unsigned long nSeq, const std::string& strHost, int nPort) {
    if (!m_pShared && !Begin()) {
        return false;
    }
    try {
        Shared::Question q;
        q.nKey = nKey;
        q.nSeq = nSeq;
        q.strHost = strHost;
        q.nPort = nPort;
        std::lock_guard<std::mutex> lock(m_pShared->mutex);
        for (Shared::Question& waiting : m_pShared->questions) {
            if (waiting.nKey == nKey) {
                waiting = std::move(q);
                return true;
            }
        }
        m_pShared->questions.push_back(std::move(q));
        m_pShared->wake.notify_one();
        return true;
    } catch (...) {
        return false;  // no memory for the question
    }
}

void CHostResolver::Take(std::vector<Answer>& out) {
    out.clear();
    if (!m_pShared) {
        return;
    }
    uint64_t n = 0;
    (void)!read(m_pShared->nEventFd, &n, sizeof n);
    std::lock_guard<std::mutex> lock(m_pShared->mutex);
    out.swap(m_pShared->answers);
}
