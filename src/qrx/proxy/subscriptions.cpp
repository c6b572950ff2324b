#include "qrx/proxy/subscriptions.h"

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

bool Subscriptions::IsSubscribedWithSizeLocked(const char* szTopic) const {
    // The symbol is the last field of the key: a topic that merely ends the same way ("BC"
    // against a key for "ABC") does not match.
    return szTopic != nullptr && !m_Tails.empty() && m_Tails.find(szTopic) != m_Tails.end();
}

bool Subscriptions::AddTails(const GrowingStr& entry) {
    const char* p = entry.c_str();
    const char* end = p + entry.length();
    const char* at = p;
    try {
        for (; (at = static_cast<const char*>(
                    memchr(at, CSymTopic::m_cDelimiter, static_cast<size_t>(end - at)))) != nullptr;
             ++at) {
            ++m_Tails[std::string(at + 1, end)];
        }
    } catch (...) {
        // Uncounts what was counted: the separators before the one that failed.
        for (const char* q = p; q < end; ++q) {
            if (*q == CSymTopic::m_cDelimiter && (at == nullptr || q < at)) {
                const auto it =
                    m_Tails.find(std::string_view(q + 1, static_cast<size_t>(end - q - 1)));
                if (it != m_Tails.end() && --it->second == 0) {
                    m_Tails.erase(it);
                }
            }
        }
        return false;
    }
    return true;
}

void Subscriptions::RemoveTails(const GrowingStr& entry) {
    const char* p = entry.c_str();
    const char* end = p + entry.length();
    for (const char* q = p; q < end; ++q) {
        if (*q == CSymTopic::m_cDelimiter) {
            const auto it = m_Tails.find(std::string_view(q + 1, static_cast<size_t>(end - q - 1)));
            if (it != m_Tails.end() && --it->second == 0) {
                m_Tails.erase(it);
            }
        }
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
        if (!AddTails(*it)) {
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
    RemoveTails(*it);
    m_Set.erase(it);
    Changed();
    return true;
}

void Subscriptions::clear() {
    MKTUTIL::Guard lock(&m_Mutex);
    m_Set.clear();
    m_Tails.clear();
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
