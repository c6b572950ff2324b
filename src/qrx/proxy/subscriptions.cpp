#include "qrx/proxy/subscriptions.h"

#include <iterator>
#include <string_view>

#include "qrx/marketdata/sym_topic.h"

unsigned long Subscriptions::NextGeneration() {
    static std::atomic<unsigned long> s_nLast{0};
    return s_nLast.fetch_add(1, std::memory_order_relaxed) + 1;
}

void Subscriptions::Changed() {
    m_nGeneration.store(NextGeneration(), std::memory_order_release);
}

bool Subscriptions::IsSubscribedLocked(const char* szTopic) const {
    if (m_Set.empty()) {
        return false;
    }
    // The empty string, every topic, is the first key in byte-wise order.
    return m_Set.begin()->length() == 0 ||
           (szTopic != nullptr && m_Set.find(szTopic) != m_Set.end());
}

namespace {

// The character at i of a topic of n characters read backwards, then the separator.
unsigned char ReversedAt(const char* p, size_t n, size_t i) {
    return static_cast<unsigned char>(i < n ? p[n - 1 - i] : CSymTopic::m_cDelimiter);
}

}  // namespace

int Subscriptions::ReversedLess::Compare(const std::string& a, const ReversedTail& b) {
    const size_t nB = b.n + 1;
    const size_t n = a.size() < nB ? a.size() : nB;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char cA = static_cast<unsigned char>(a[i]);
        const unsigned char cB = ReversedAt(b.p, b.n, i);
        if (cA != cB) {
            return cA < cB ? -1 : 1;
        }
    }
    return a.size() < nB ? -1 : (a.size() > nB ? 1 : 0);
}

bool Subscriptions::IsSubscribedWithSizeLocked(const char* szTopic) const {
    // The symbol is the last field of the key: a topic that merely ends the same way ("BC"
    // against a key for "ABC") does not match.
    if (szTopic == nullptr || m_Reversed.empty()) {
        return false;
    }
    const ReversedTail tail{szTopic, strlen(szTopic)};
    // The first entry not below the tail begins with it when any entry does.
    const auto it = m_Reversed.lower_bound(tail);
    if (it == m_Reversed.end() || it->size() < tail.n + 1) {
        return false;
    }
    for (size_t i = 0; i <= tail.n; ++i) {
        if (static_cast<unsigned char>((*it)[i]) != ReversedAt(tail.p, tail.n, i)) {
            return false;
        }
    }
    return true;
}

bool Subscriptions::AddReversed(const GrowingStr& entry) {
    const char* p = entry.c_str();
    const size_t n = entry.length();
    if (memchr(p, CSymTopic::m_cDelimiter, n) == nullptr) {
        return true;  // no separator: no topic's key
    }
    try {
        m_Reversed.emplace(std::make_reverse_iterator(p + n), std::make_reverse_iterator(p));
    } catch (...) {
        return false;
    }
    return true;
}

void Subscriptions::RemoveReversed(const GrowingStr& entry) {
    const char* p = entry.c_str();
    const size_t n = entry.length();
    if (memchr(p, CSymTopic::m_cDelimiter, n) == nullptr) {
        return;
    }
    try {
        m_Reversed.erase(
            std::string(std::make_reverse_iterator(p + n), std::make_reverse_iterator(p)));
    } catch (...) {
        // No memory for the key: the entry stays findable, as a subscription that lingers.
    }
}

bool Subscriptions::IsSubscribed(const char* szTopic) {
    MKTUTIL::Guard lock(&m_Mutex);
    return IsSubscribedLocked(szTopic);
}

bool Subscriptions::IsSubscribedWithSize(const char* szTopic) {
    MKTUTIL::Guard lock(&m_Mutex);
    return IsSubscribedWithSizeLocked(szTopic);
}

bool Subscriptions::IsPublished(const char* szTopic) {
    MKTUTIL::Guard lock(&m_Mutex);
    return IsSubscribedLocked(szTopic) ||
           (m_bHasSymsWithSizes && IsSubscribedWithSizeLocked(szTopic));
}

void Subscriptions::EnableSubsWithSizes(bool bEnable) {
    MKTUTIL::Guard lock(&m_Mutex);
    m_bHasSymsWithSizes = bEnable;
    Changed();
}

bool Subscriptions::HasSymsWithSizes() {
    MKTUTIL::Guard lock(&m_Mutex);
    return m_bHasSymsWithSizes;
}

bool Subscriptions::insert(const char* szTopic) {
    if (szTopic == nullptr) {
        return false;
    }
    MKTUTIL::Guard lock(&m_Mutex);
    if (m_Set.find(szTopic) != m_Set.end()) {
        return false;
    }
    try {
        const auto it = m_Set.emplace(szTopic).first;
        if (!AddReversed(*it)) {
            m_Set.erase(it);
            return false;
        }
    } catch (...) {
        return false;
    }
    Changed();
    return true;
}

bool Subscriptions::erase(const char* szTopic) {
    if (szTopic == nullptr) {
        return false;
    }
    MKTUTIL::Guard lock(&m_Mutex);
    const auto it = m_Set.find(szTopic);
    if (it == m_Set.end()) {
        return false;
    }
    RemoveReversed(*it);
    m_Set.erase(it);
    Changed();
    return true;
}

void Subscriptions::clear() {
    MKTUTIL::Guard lock(&m_Mutex);
    m_Set.clear();
    m_Reversed.clear();
    Changed();
}

size_t Subscriptions::size() {
    MKTUTIL::Guard lock(&m_Mutex);
    return m_Set.size();
}

std::vector<std::string> Subscriptions::Topics() {
    std::vector<std::string> out;
    MKTUTIL::Guard lock(&m_Mutex);
    try {
        out.reserve(m_Set.size());
        for (const GrowingStr& topic : m_Set) {
            out.emplace_back(topic.c_str(), static_cast<size_t>(topic.length()));
        }
    } catch (...) {
        out.clear();  // no memory: nothing rather than a part
    }
    return out;
}
