// The topics the proxy's client subscribed. The empty string stands for every topic. Entries
// with sizes ("5" SEP near SEP far SEP symbol) are matched by their symbol at the end. Every
// operation takes the set's own mutex for its duration, so the set may be consulted while
// producer threads run; no operation holds any other lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "qrx/proxy/mktutil_mutex.h"
#include "qrx/runtime/growing_str.h"

class Subscriptions {
public:
    using TopicLess = GrowingStrLess;
    using TopicSet = std::set<GrowingStr, TopicLess>;

    Subscriptions() = default;
    Subscriptions(const Subscriptions&) = delete;
    Subscriptions& operator=(const Subscriptions&) = delete;

    // Creates the mutex; true when it exists afterwards.
    bool Init() { return m_Mutex.Init(); }

    // The topic is in the set, or the empty string (every topic) is.
    bool IsSubscribed(const GrowingStr& topic) { return IsSubscribed(topic.c_str()); }
    bool IsSubscribed(const char* szTopic);
    // Some entry with sizes names the topic as its symbol: it is longer than the topic, ends
    // with exactly its text, and the separator stands right before it.
    bool IsSubscribedWithSize(const GrowingStr& topic) {
        return IsSubscribedWithSize(topic.c_str());
    }
    bool IsSubscribedWithSize(const char* szTopic);
    // The publishing test: subscribed, or (once entries with sizes exist) subscribed with sizes.
    bool IsPublished(const char* szTopic);

    void EnableSubsWithSizes(bool bEnable);
    bool HasSymsWithSizes();

    // Changes with every change of what IsPublished answers, and is never the same for two
    // states of any two sets, nor 0: a publisher may keep an answer while it stays.
    unsigned long Generation() const { return m_nGeneration.load(std::memory_order_acquire); }

    // True when the topic was not there before.
    bool insert(const char* szTopic);
    // True when the topic was there.
    bool erase(const char* szTopic);
    void clear();
    size_t size();
    // The topics, in set order (the empty topic stands for every topic).
    std::vector<std::string> Topics();

private:
    bool IsSubscribedLocked(const char* szTopic) const;
    bool IsSubscribedWithSizeLocked(const char* szTopic) const;
    // After a change, under the lock.
    void Changed();
    // Adds (or removes) the entry's reversed text in m_Reversed when it holds a separator;
    // false, with nothing added, when there is no memory for it.
    bool AddReversed(const GrowingStr& entry);
    void RemoveReversed(const GrowingStr& entry);

    // A text read backwards: a topic and the separator before it, as an entry ends.
    struct ReversedTail {
        const char* p;
        size_t n;  // the topic's length; the separator is the last character
    };
    // Byte-wise order of reversed texts, searched with a ReversedTail without building one.
    struct ReversedLess {
        using is_transparent = void;
        bool operator()(const std::string& a, const std::string& b) const { return a < b; }
        bool operator()(const std::string& a, const ReversedTail& b) const {
            return Compare(a, b) < 0;
        }
        bool operator()(const ReversedTail& a, const std::string& b) const {
            return Compare(b, a) > 0;
        }
        static int Compare(const std::string& a, const ReversedTail& b);
    };

    TopicSet m_Set;
    // The entries that hold a separator, each read backwards: a topic is subscribed with sizes
    // when one of them begins with the topic read backwards and a separator, found without
    // scanning the set and in one copy of each entry's text.
    std::set<std::string, ReversedLess> m_Reversed;
    MKTUTIL::Mutex m_Mutex;
    bool m_bHasSymsWithSizes = false;
    std::atomic<unsigned long> m_nGeneration{NextGeneration()};

    static unsigned long NextGeneration();
};
