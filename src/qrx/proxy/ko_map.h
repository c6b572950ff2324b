#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "qrx/proxy/data_pool.h"

namespace KoMap {

// Key alphabet of a trie over printable ASCII: blank (32) to '~' (126), one child slot each.
struct Printable {
    static constexpr int kFirst = 32;
    static constexpr int kLast = 126;
    static constexpr int kSize = kLast - kFirst + 1;

    // The child slot of a key character, or -1 for a character outside the alphabet.
    static int Index(char c) {
        const int u = static_cast<unsigned char>(c);
        return (u >= kFirst && u <= kLast) ? u - kFirst : -1;
    }
    static char Char(int nIndex) { return static_cast<char>(nIndex + kFirst); }
};

// One trie node: a child per key character, then the value of the key that ends here (null
// when none). A plain record, so a value-initialised node is all zeroes.
template <class V, class Policy>
struct TNode {
    TNode* m_pChildren[Policy::kSize];
    V m_pValue;
};

// A character trie from NUL-terminated keys to pointer values. Nodes come from a pool of its
// own and go back to it on Clear() and destruction; the map never owns the values. Lookups
// allocate nothing. Not thread-safe: one thread at a time.
template <class K, class V, class Policy = Printable>
class TMap {
    static_assert(std::is_same<K, char*>::value || std::is_same<K, const char*>::value,
                  "TMap is keyed by NUL-terminated text");
    static_assert(std::is_pointer<V>::value, "TMap stores pointer values");

public:
    using Node = TNode<V, Policy>;

    static constexpr int kNodePoolSize = 100;

    // Iterates the stored values: the root's first, then the other nodes in creation order.
    class const_iterator {
    public:
        const_iterator(const TMap* pMap, size_t nPos) : m_pMap(pMap), m_nPos(nPos) { Skip(); }
        V operator*() const { return NodeAt(m_nPos)->m_pValue; }
        const_iterator& operator++() {
            ++m_nPos;
            Skip();
            return *this;
        }
        bool operator==(const const_iterator& o) const { return m_nPos == o.m_nPos; }
        bool operator!=(const const_iterator& o) const { return m_nPos != o.m_nPos; }

    private:
        size_t End() const { return m_pMap->m_ActiveNodes.size() + 1; }
        const Node* NodeAt(size_t nPos) const {
            return nPos == 0 ? &m_pMap->m_RootNode : m_pMap->m_ActiveNodes[nPos - 1];
        }
        void Skip() {
            while (m_nPos < End() && NodeAt(m_nPos)->m_pValue == nullptr) {
                ++m_nPos;
            }
        }

        const TMap* m_pMap;
        size_t m_nPos;
    };

    TMap() : m_NodePool(kNodePoolSize, "_UNNAMED_"), m_RootNode() {
        m_NodePool.SetDPoolName("KoMap_DPOOL");
        m_NodePool.Init();
    }

    virtual ~TMap() { Clear(); }

    TMap(const TMap&) = delete;
    TMap& operator=(const TMap&) = delete;

    // Stores value under key. False for a null key or value, a key character outside the
    // alphabet (the nodes made for the characters before it stay), a key that has a value
    // already (the first value stays) or when no node could be had. The empty key lives on the
    // root.
    bool Insert(const char* key, V value) {
        if (key == nullptr || value == nullptr) {
            return false;
        }
        Node* pNode = CreateNodeIfNotFound(key);
        if (pNode == nullptr || pNode->m_pValue != nullptr) {
            return false;
        }
        pNode->m_pValue = value;
        ++m_nCount;
        return true;
    }

    // The value stored under key, or null.
    V Find(const char* key) const {
        const Node* pNode = FindNode(key);
        return pNode != nullptr ? pNode->m_pValue : nullptr;
    }
    V operator[](const char* key) const { return Find(key); }

    // The value of the longest leading part of key that has one, or null; pnMatched receives
    // the length of that part (0 when none).
    V FindPartial(const char* key, int* pnMatched = nullptr) const {
        V best = nullptr;
        int nBest = 0;
        const Node* pNode = key != nullptr ? &m_RootNode : nullptr;
        for (int i = 0; pNode != nullptr; ++i) {
            if (pNode->m_pValue != nullptr) {
                best = pNode->m_pValue;
                nBest = i;
            }
            const int nIndex = key[i] != '\0' ? Policy::Index(key[i]) : -1;
            pNode = nIndex >= 0 ? pNode->m_pChildren[nIndex] : nullptr;
        }
        if (pnMatched != nullptr) {
            *pnMatched = nBest;
        }
        return best;
    }

    // The node reached by key (with or without a value), or null.
    const Node* FindNode(const char* key) const {
        if (key == nullptr) {
            return nullptr;
        }
        const Node* pNode = &m_RootNode;
        for (; *key != '\0' && pNode != nullptr; ++key) {
            const int nIndex = Policy::Index(*key);
            if (nIndex < 0) {
                return nullptr;
            }
            pNode = pNode->m_pChildren[nIndex];
        }
        return pNode;
    }

    // The node reached by key, making the missing ones; null for a character outside the
    // alphabet or when the pool has no node to give.
    Node* CreateNodeIfNotFound(const char* key) {
        if (key == nullptr) {
            return nullptr;
        }
        Node* pNode = &m_RootNode;
        for (; *key != '\0'; ++key) {
            const int nIndex = Policy::Index(*key);
            if (nIndex < 0) {
                return nullptr;
            }
            Node*& pChild = pNode->m_pChildren[nIndex];
            if (pChild == nullptr) {
                pChild = NewNode();
                if (pChild == nullptr) {
                    return nullptr;
                }
            }
            pNode = pChild;
        }
        return pNode;
    }

    // Forgets the value under key and returns it (null when there was none). Nodes stay.
    V Erase(const char* key) {
        Node* pNode = const_cast<Node*>(FindNode(key));
        if (pNode == nullptr || pNode->m_pValue == nullptr) {
            return nullptr;
        }
        V old = pNode->m_pValue;
        pNode->m_pValue = nullptr;
        --m_nCount;
        return old;
    }

    // Returns every node to the pool. The values are the caller's to dispose of first.
    void Clear() {
        m_NodePool.Release(m_ActiveNodes.data(), static_cast<int>(m_ActiveNodes.size()));
        m_ActiveNodes.clear();
        m_RootNode = Node();
        m_nCount = 0;
    }

    // Appends every stored value to vec, in iteration order.
    void GetValues(std::vector<V>& vec) const {
        for (V v : *this) {
            vec.push_back(v);
        }
    }

    // Calls fn(key, value) for every stored value in key order (byte-wise); false when the key
    // buffer could not be had, the walk then being cut short.
    template <class Fn>
    bool Walk(Fn&& fn) const {
        try {
            std::string key;
            std::vector<std::pair<const Node*, int>> stack;
            if (m_RootNode.m_pValue != nullptr) {
                fn(key.c_str(), m_RootNode.m_pValue);
            }
            stack.emplace_back(&m_RootNode, 0);
            while (!stack.empty()) {
                const Node* pNode = stack.back().first;
                const int nIndex = stack.back().second++;
                if (nIndex >= Policy::kSize) {
                    stack.pop_back();
                    if (!stack.empty()) {
                        key.pop_back();
                    }
                    continue;
                }
                const Node* pChild = pNode->m_pChildren[nIndex];
                if (pChild == nullptr) {
                    continue;
                }
                key.push_back(Policy::Char(nIndex));
                if (pChild->m_pValue != nullptr) {
                    fn(key.c_str(), pChild->m_pValue);
                }
                stack.emplace_back(pChild, 0);
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_ActiveNodes.size() + 1); }

    // Keys that have a value.
    size_t Count() const { return m_nCount; }
    // Nodes taken from the pool, the root not counted.
    size_t NodeCount() const { return m_ActiveNodes.size(); }

private:
    // A zeroed node from the pool, recorded so that it goes back; null when none.
    Node* NewNode() {
        Node* pNode = m_NodePool.Get();
        if (pNode == nullptr) {
            return nullptr;
        }
        *pNode = Node();
        try {
            m_ActiveNodes.push_back(pNode);
        } catch (...) {
            m_NodePool.Release(pNode);
            return nullptr;
        }
        return pNode;
    }

    CDataPool<Node> m_NodePool;
    Node m_RootNode;
    std::vector<Node*> m_ActiveNodes;  // every node taken from the pool, in creation order
    size_t m_nCount = 0;
};

}  // namespace KoMap
