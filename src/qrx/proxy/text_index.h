// Open-addressing hash index from short texts to values, for look-ups made once per published
// tick: one probe sequence in a flat array, the text hashed a word at a time, no allocation
// except when the index grows. Keys are views: the texts they point to must outlive their
// entries. Values move when the index grows, so a pointer to one is valid until the next Insert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "qrx/runtime/short_text.h"

template <class V>
class TextIndex {
public:
    // The value stored under the text, or null.
    V* Find(const char* pText, size_t nLen) const { return Find(pText, nLen, Hash(pText, nLen)); }
    // Find, for a text whose Hash is known.
    V* Find(const char* pText, size_t nLen, uint64_t h) const {
        Entry* e = Probe(h, [pText, nLen](const Entry& x) {
            return x.nLen == nLen && short_text::Equal(x.pKey, pText, nLen);
        });
        return e != nullptr ? &e->value : nullptr;
    }

    // Stores value under the text (which must not be there yet) and returns where it went;
    // null when there is no memory to grow.
    V* Insert(const char* pText, size_t nLen, const V& value) {
        if ((m_nSize + 1) * 2 > Capacity() && !Grow()) {
            return nullptr;
        }
        Entry* e = Place(Hash(pText, nLen));
        e->pKey = pText;
        e->nLen = nLen;
        e->value = value;
        ++m_nSize;
        return &e->value;
    }

    // For look-ups made ahead of time: brings the slot where the search for a text of hash h
    // starts into the cache.
    void Prefetch(uint64_t h) const {
        if (m_nSize != 0) {
            __builtin_prefetch(&m_pEntries[h & m_nMask]);
        }
    }
    // The value of the first entry of hash h: a hint only, as another text may share the hash.
    const V* PeekHash(uint64_t h) const {
        const Entry* e = Probe(h, [](const Entry&) { return true; });
        return e != nullptr ? &e->value : nullptr;
    }

    // Mixes the text eight bytes at a time; the last up to eight bytes are read in two
    // overlapping loads, never outside the text.
    static uint64_t Hash(const char* p, size_t n) {
        uint64_t h = (n + 1) * kMul;
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            h = (h ^ short_text::LoadWord<uint64_t>(p + i)) * kMul;
            h ^= h >> 29;
        }
        const size_t nRest = n - i;
        uint64_t tail = 0;
        if (nRest >= 4) {
            tail = short_text::LoadWord<uint32_t>(p + i) |
                   static_cast<uint64_t>(short_text::LoadWord<uint32_t>(p + n - 4)) << 32;
        } else if (nRest > 0) {
            tail = static_cast<unsigned char>(p[i]) |
                   static_cast<uint64_t>(static_cast<unsigned char>(p[i + nRest / 2])) << 8 |
                   static_cast<uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
        }
        h = (h ^ tail) * kMul;
        return h ^ (h >> 32);
    }

    void Clear() {
        m_pEntries.reset();
        m_nMask = 0;
        m_nSize = 0;
    }
    size_t Size() const { return m_nSize; }

private:
    struct Entry {
        uint64_t nHash = 0;
        const char* pKey = nullptr;  // null: the entry is free
        size_t nLen = 0;
        V value{};
    };

    static constexpr size_t kFirstCapacity = 64;
    static constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;

    size_t Capacity() const { return m_pEntries ? m_nMask + 1 : 0; }

    // The first entry along the probe sequence of hash h that has the hash and satisfies match;
    // null at the first free entry.
    template <class Match>
    Entry* Probe(uint64_t h, Match match) const {
        if (m_nSize == 0) {
            return nullptr;
        }
        for (size_t i = h & m_nMask;; i = (i + 1) & m_nMask) {
            Entry& e = m_pEntries[i];
            if (e.pKey == nullptr) {
                return nullptr;
            }
            if (e.nHash == h && match(e)) {
                return &e;
            }
        }
    }

    // The free entry where a text of hash h goes; it keeps h.
    Entry* Place(uint64_t h) {
        size_t i = h & m_nMask;
        while (m_pEntries[i].pKey != nullptr) {
            i = (i + 1) & m_nMask;
        }
        m_pEntries[i].nHash = h;
        return &m_pEntries[i];
    }

    bool Grow() {
        const size_t nOld = Capacity();
        const size_t nNew = nOld == 0 ? kFirstCapacity : nOld * 2;
        std::unique_ptr<Entry[]> pOld(new (std::nothrow) Entry[nNew]);
        if (!pOld) {
            return false;
        }
        pOld.swap(m_pEntries);
        m_nMask = nNew - 1;
        for (size_t i = 0; i < nOld; ++i) {
            const Entry& from = pOld[i];
            if (from.pKey != nullptr) {
                Entry* to = Place(from.nHash);
                to->pKey = from.pKey;
                to->nLen = from.nLen;
                to->value = from.value;
            }
        }
        return true;
    }

    std::unique_ptr<Entry[]> m_pEntries;
    size_t m_nMask = 0;
    size_t m_nSize = 0;
};
