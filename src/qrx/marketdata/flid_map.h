// Sparse store of the fields of one value type of a market-data record.
//
// The 512 ids of a type are split into 32 blocks of 16 slots. A block starts
// out pointing at the one shared block of the map; it receives storage of its
// own only when one of its fields would land on a shared slot that another
// block already uses. Sparse records therefore live in the shared block, and a
// dense block keeps its storage (and its string objects) for the life of the
// map, so that clearing and refilling a pooled record allocates nothing.
//
// A mask of the blocks that hold present fields lets clearing, merging and
// iterating skip the empty ones.
//
// Strings are held through pointers: a slot owns its GrowingStr object while
// the field is present or while the slot's deallocation bit is set, and an
// owned object is reused by every later store into that slot.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

#include "qrx/runtime/growing_str.h"

// First id of each value type: the type of an id is id >> 9.
template <typename T>
struct FlidTypeBase;
template <>
struct FlidTypeBase<double> {
    static constexpr int value = 0;
};
template <>
struct FlidTypeBase<int> {
    static constexpr int value = 512;
};
template <>
struct FlidTypeBase<GrowingStr> {
    static constexpr int value = 1024;
};
template <>
struct FlidTypeBase<char> {
    static constexpr int value = 1536;
};

// Set bits of each byte value.
struct BitCount8 {
    unsigned char n[256];
};
constexpr BitCount8 MakeBitCount8() {
    BitCount8 t{};
    for (unsigned v = 0; v < 256; ++v) {
        t.n[v] = static_cast<unsigned char>((v & 1) + ((v >> 1) & 1) + ((v >> 2) & 1) +
                                            ((v >> 3) & 1) + ((v >> 4) & 1) + ((v >> 5) & 1) +
                                            ((v >> 6) & 1) + ((v >> 7) & 1));
    }
    return t;
}
inline constexpr BitCount8 kBitCount8 = MakeBitCount8();

// True when every bit set in the 32 presence masks of theirs is set in those of mine: the
// masks are compared 16 bytes at a time, without a branch per block.
inline bool PresenceMasksCover(const unsigned short* mine, const unsigned short* theirs) {
    using Word = uint64_t __attribute__((vector_size(16)));
    const auto lacking = [mine, theirs](int i) {
        Word a;
        Word b;
        memcpy(&a, mine + 8 * i, sizeof a);
        memcpy(&b, theirs + 8 * i, sizeof b);
        return b & ~a;
    };
    const Word missing = lacking(0) | lacking(1) | lacking(2) | lacking(3);
    return (missing[0] | missing[1]) == 0;
}

template <typename T>
class FlidMap {
public:
    static constexpr bool IS_STRING = std::is_same<T, GrowingStr>::value;
    // What a slot holds: the value, or for strings a pointer to the object.
    using Slot = typename std::conditional<IS_STRING, GrowingStr*, T>::type;

    enum {
        table_array_size = 32,
        table_slot_count = 16,
        key_to_table_index_right_shift = 4,
        key_to_table_index_mask = 31,
        key_to_table_offset_mask = 15,
    };
    static constexpr int flid_type_mask = -512;
    static constexpr int type_base = FlidTypeBase<T>::value;
    static constexpr size_t block_bytes = sizeof(Slot) * table_slot_count;

    // Defaults of the int ids 512..527, written into the named int fields.
    static constexpr int integer_initilisation_list[16] = {0, 0, 0, 0, 0,   0, 0, 0,
                                                           2, 0, 0, 1, 100, 0, 0, 0};

    static bool OutOfRange(int id) { return (id & flid_type_mask) != type_base; }
    static int TableIndex(int id) {
        return (id >> key_to_table_index_right_shift) & key_to_table_index_mask;
    }
    static int TableOffset(int id) { return id & key_to_table_offset_mask; }

    // Present fields in increasing id order; dereferencing gives (id, value).
    class const_iterator {
    public:
        const_iterator() = default;
        const_iterator(const FlidMap* map, int block, int slot)
            : m_map(map), m_block(block), m_slot(slot) {}

        std::pair<int, const T&> operator*() const {
            return std::pair<int, const T&>(Id(), Value());
        }
        int Id() const { return type_base + (m_block << key_to_table_index_right_shift) + m_slot; }
        const T& Value() const { return m_map->SlotValue(m_block, m_slot); }

        const_iterator& operator++() {
            Advance();
            return *this;
        }
        bool operator==(const const_iterator& o) const {
            return m_block == o.m_block && m_slot == o.m_slot;
        }
        bool operator!=(const const_iterator& o) const { return !(*this == o); }

    private:
        friend class FlidMap;
        // Moves to the next present field after the current position.
        void Advance() {
            if (m_block >= table_array_size) {
                return;
            }
            const unsigned next = static_cast<unsigned>(m_slot + 1);
            const unsigned rest =
                next >= 16 ? 0u : (m_map->m_dedicatedSet[m_block] >> next) << next;
            if (rest != 0) {
                m_slot = __builtin_ctz(rest);
                return;
            }
            const unsigned nextBlock = static_cast<unsigned>(m_block + 1);
            const uint32_t blocks = nextBlock >= table_array_size
                                        ? 0u
                                        : (m_map->m_usedBlocks >> nextBlock) << nextBlock;
            if (blocks == 0) {
                m_block = table_array_size;  // end: (32, 16)
                m_slot = table_slot_count;
                return;
            }
            m_block = __builtin_ctz(blocks);
            m_slot = __builtin_ctz(m_map->m_dedicatedSet[m_block]);
        }

        const FlidMap* m_map = nullptr;
        int m_block = table_array_size;
        int m_slot = table_slot_count;
    };
    using iterator = const_iterator;

    FlidMap() {
        m_sharedTable = AllocateBlock();
        for (int b = 0; b < table_array_size; ++b) {
            m_dedicatedTable[b] = m_sharedTable;
        }
        memset(m_dedicatedSet, 0, sizeof m_dedicatedSet);
        m_dedicatedDeallocationSet = IS_STRING ? m_dedicatedSet + table_array_size : nullptr;
    }

    FlidMap(const FlidMap& other) : FlidMap() { insert(other); }

    FlidMap& operator=(const FlidMap& other) {
        if (this != &other) {
            clear();
            insert(other);
        }
        return *this;
    }

    ~FlidMap() {
        for (int b = 0; b < table_array_size; ++b) {
            Slot* blk = m_dedicatedTable[b];
            if (blk == m_sharedTable) {
                continue;
            }
            if constexpr (IS_STRING) {
                DeleteOwned(blk, m_dedicatedSet[b] | m_dedicatedDeallocationSet[b]);
            }
            free(blk);
        }
        if constexpr (IS_STRING) {
            DeleteOwned(m_sharedTable, m_sharedSet | m_sharedDeallocationSet);
        }
        free(m_sharedTable);
    }

    // ---- reads ----
    bool IsPresent(int id) const {
        return !OutOfRange(id) && (m_dedicatedSet[TableIndex(id)] & (1u << TableOffset(id))) != 0;
    }
    const T* GetFlidPtr(int id) const {
        if (!IsPresent(id)) {
            return nullptr;
        }
        return ValueAt(m_dedicatedTable[TableIndex(id)], TableOffset(id));
    }
    bool GetFlid(int id, T& value) const {
        const T* p = GetFlidPtr(id);
        if (p == nullptr) {
            return false;
        }
        value = *p;
        return true;
    }
    const T& GetFlidValueOrDefault(int id, const T& def) const {
        const T* p = GetFlidPtr(id);
        return p != nullptr ? *p : def;
    }
    size_t count(int id) const { return IsPresent(id) ? 1 : 0; }
    const_iterator find(int id) const {
        if (!IsPresent(id)) {
            return end();
        }
        return const_iterator(this, TableIndex(id), TableOffset(id));
    }

    size_t size() const { return m_count; }
    bool empty() const { return m_usedBlocks == 0; }
    static size_t max_size() { return table_array_size * table_slot_count; }
    const_iterator begin() const {
        const_iterator it(this, 0, -1);
        it.Advance();
        return it;
    }
    const_iterator end() const { return const_iterator(this, table_array_size, table_slot_count); }

    // Presence mask of a block: bit s set when slot s holds a present field.
    unsigned short PresenceMask(int block) const { return m_dedicatedSet[block]; }
    const unsigned short* PresenceMasks() const { return m_dedicatedSet; }
    // Bit b set when block b holds a present field.
    uint32_t UsedBlocks() const { return m_usedBlocks; }
    // The value in slot s of block b; only meaningful when the field is present.
    const T& SlotValue(int block, int slot) const {
        return *ValueAt(m_dedicatedTable[block], slot);
    }
    // The 16 slots of block b (for strings, pointers to the objects); a slot
    // is only meaningful while its presence bit is set.
    const Slot* BlockSlots(int block) const { return m_dedicatedTable[block]; }

    // ---- stores ----
    // Stores value under id; false, with nothing changed, for an id of another type.
    bool InsertFlid(int id, const T& value) {
        if (OutOfRange(id)) {
            return false;
        }
        if constexpr (!IS_STRING) {
            // Numbers need no object: the store and its flags at once, each mask read once.
            const int b = TableIndex(id);
            const unsigned m = 1u << TableOffset(id);
            const unsigned set = m_dedicatedSet[b];
            Slot* blk = m_dedicatedTable[b];
            if (__builtin_expect((set & m) == 0, 1)) {
                // A new field, as in a record just taken from a pool.
                if (blk == m_sharedTable) {
                    const unsigned shared = m_sharedSet;
                    if ((shared & m) != 0) {
                        Dedicate(b);  // another block uses the shared slot
                        blk = m_dedicatedTable[b];
                    } else {
                        m_sharedSet = static_cast<unsigned short>(shared | m);
                    }
                }
                MarkPresent(b, set, m);
            }
            blk[TableOffset(id)] = value;
            return true;
        }
        T* p = PrepareValue(id);
        if (p != &value) {
            *p = value;
        }
        FlagReference(id);
        return true;
    }
    bool insert(int id, const T& value) { return InsertFlid(id, value); }

    // Strings: stores len characters of text under id in the slot's own object, which is
    // reused (nothing is allocated once it has room). False, with nothing changed, for an id
    // of another type or a text the string refuses.
    __attribute__((always_inline)) bool AssignText(int id, const char* text, int len) {
        static_assert(IS_STRING, "texts go into string maps");
        if (OutOfRange(id)) {
            return false;
        }
        const int b = TableIndex(id);
        const int s = TableOffset(id);
        const unsigned m = 1u << s;
        const unsigned set = m_dedicatedSet[b];
        Slot* blk = m_dedicatedTable[b];
        if ((set & m) != 0) {
            return blk[s]->assign(text, len);
        }
        if (blk != m_sharedTable && (m_dedicatedDeallocationSet[b] & m) != 0) {
            // A cleared field of a block of its own: the usual case for a reused record.
            if (!blk[s]->assign(text, len)) {
                return false;
            }
            MarkPresent(b, set, m);
            return true;
        }
        return AssignTextSlow(id, text, len);
    }

    // Makes the slot of id ready to take a value and returns where the value
    // goes; marks nothing present (FlagReference does, once the value is in).
    // For an absent field whose shared slot another block uses, the block gets
    // storage of its own; for strings the slot then owns an object. The id must
    // be in range.
    T* PrepareValue(int id) {
        const int b = TableIndex(id);
        const int s = TableOffset(id);
        const unsigned m = 1u << s;
        if ((m_dedicatedSet[b] & m) == 0) {
            if (m_dedicatedTable[b] == m_sharedTable && (m_sharedSet & m) != 0) {
                Dedicate(b);
            }
            if constexpr (IS_STRING) {
                OwnSlot(b, s);
            }
        }
        return ValueAt(m_dedicatedTable[b], s);
    }

    // Marks the field present (counting it when it was absent). The slot must
    // have been made ready by PrepareValue or CreateReference.
    void FlagReference(int id) {
        const int b = TableIndex(id);
        const unsigned m = 1u << TableOffset(id);
        if ((m_dedicatedSet[b] & m) != 0) {
            return;
        }
        if (m_dedicatedTable[b] == m_sharedTable) {
            m_sharedSet |= m;
        }
        MarkPresent(b, m_dedicatedSet[b], m);
    }

    // PrepareValue for the slots of block b set in bits, at once: returns the
    // block's 16 slots, into which the values of those slots go. Nothing is
    // marked present (FlagBlock does). Numbers and chars only: a string slot
    // is prepared one by one, as it may need an object.
    Slot* PrepareBlock(int b, unsigned bits) {
        static_assert(!IS_STRING, "string slots are prepared with PrepareValue");
        const unsigned fresh = bits & ~static_cast<unsigned>(m_dedicatedSet[b]);
        if (fresh != 0 && m_dedicatedTable[b] == m_sharedTable && (m_sharedSet & fresh) != 0) {
            Dedicate(b);
        }
        return m_dedicatedTable[b];
    }

    // FlagReference for the slots of block b set in bits, made ready by
    // PrepareBlock.
    void FlagBlock(int b, unsigned bits) {
        const unsigned fresh = bits & ~static_cast<unsigned>(m_dedicatedSet[b]);
        if (fresh == 0) {
            return;
        }
        if (m_dedicatedTable[b] == m_sharedTable) {
            m_sharedSet |= static_cast<unsigned short>(fresh);
        }
        m_dedicatedSet[b] |= static_cast<unsigned short>(fresh);
        m_usedBlocks |= 1u << b;
        m_count += CountBits16(fresh);
    }

    // Number of set bits of a 16-bit mask (no popcnt instruction assumed).
    static unsigned CountBits16(unsigned x) {
        return kBitCount8.n[x & 0xFFu] + kBitCount8.n[(x >> 8) & 0xFFu];
    }

    // Gives the slot of id storage of its own (and for strings an owned object)
    // and returns a reference to it; the reference stays valid for the life of
    // the map. Used to bind the named fields of the record.
    T& CreateReference(int id) {
        const int b = TableIndex(id);
        const int s = TableOffset(id);
        if (m_dedicatedTable[b] == m_sharedTable) {
            Dedicate(b);
        }
        if constexpr (IS_STRING) {
            if (((m_dedicatedSet[b] | m_dedicatedDeallocationSet[b]) & (1u << s)) == 0) {
                OwnSlot(b, s);
            }
        }
        return *ValueAt(m_dedicatedTable[b], s);
    }

    // Writes the construction value of a named field into its slot: for ints the
    // entry nIndex of integer_initilisation_list, for the other types zero or
    // empty. Marks nothing present.
    void InitialiseReference(unsigned nIndex, int id) {
        T& v = *ValueAt(m_dedicatedTable[TableIndex(id)], TableOffset(id));
        if constexpr (std::is_same<T, int>::value) {
            v = nIndex < 16 ? integer_initilisation_list[nIndex] : 0;
        } else if constexpr (IS_STRING) {
            v.clear();
        } else {
            v = T();
        }
    }

    // Makes the field absent; its slot keeps its storage and string object.
    size_t erase(int id) {
        if (!IsPresent(id)) {
            return 0;
        }
        const int b = TableIndex(id);
        const unsigned m = 1u << TableOffset(id);
        const bool shared = m_dedicatedTable[b] == m_sharedTable;
        m_dedicatedSet[b] &= static_cast<unsigned short>(~m);
        if (m_dedicatedSet[b] == 0) {
            m_usedBlocks &= ~(1u << b);
        }
        if (shared) {
            m_sharedSet &= static_cast<unsigned short>(~m);
        }
        if constexpr (IS_STRING) {
            (shared ? m_sharedDeallocationSet : m_dedicatedDeallocationSet[b]) |= m;
        }
        --m_count;
        return 1;
    }

    // Makes every field absent. Blocks, values and string objects stay.
    void clear() {
        if (m_usedBlocks == 0) {
            return;  // no field is present: every mask is clear already
        }
        if constexpr (IS_STRING) {
            // The objects of present fields stay with their slots.
            for (uint32_t blocks = m_usedBlocks; blocks != 0; blocks &= blocks - 1) {
                const int b = __builtin_ctz(blocks);
                if (m_dedicatedTable[b] != m_sharedTable) {
                    m_dedicatedDeallocationSet[b] |= m_dedicatedSet[b];
                }
            }
            m_sharedDeallocationSet |= m_sharedSet;
        }
        // The 32 presence masks are 64 bytes: cleared at once rather than block by block.
        std::fill_n(m_dedicatedSet, static_cast<int>(table_array_size),
                    static_cast<unsigned short>(0));
        m_usedBlocks = 0;
        m_sharedSet = 0;
        m_count = 0;
    }

    // Merges the present fields of other into this map: they overwrite or are
    // added; fields other lacks stay as they are. A string that already reads
    // the same is not copied again.
    __attribute__((always_inline)) void insert(const FlidMap& other) {
        if (&other == this) {
            return;
        }
        for (uint32_t blocks = other.m_usedBlocks; blocks != 0; blocks &= blocks - 1) {
            const int b = __builtin_ctz(blocks);
            const unsigned S = other.m_dedicatedSet[b];
            const Slot* src = other.m_dedicatedTable[b];
            Slot* dst = m_dedicatedTable[b];
            if ((S & ~static_cast<unsigned>(m_dedicatedSet[b])) == 0) {
                // Every field is here already (a cached record updated again): values only.
                for (unsigned bits = S; bits != 0; bits &= bits - 1) {
                    const int s = __builtin_ctz(bits);
                    if constexpr (IS_STRING) {
                        if (!(*dst[s] == *src[s])) {
                            *dst[s] = *src[s];
                        }
                    } else {
                        dst[s] = src[s];
                    }
                }
            } else if constexpr (IS_STRING) {
                MergeStrings(b, S, src);
            } else {
                dst = PrepareBlock(b, S);
                for (unsigned bits = S; bits != 0; bits &= bits - 1) {
                    const int s = __builtin_ctz(bits);
                    dst[s] = src[s];
                }
                FlagBlock(b, S);
            }
        }
    }

    // Brings the presence masks into the cache ahead of a Covers or clear.
    void PrefetchMasks() const {
        __builtin_prefetch(m_dedicatedSet);
        __builtin_prefetch(&m_usedBlocks);
    }

    // True when every field present in other is present here too.
    bool Covers(const FlidMap& other) const {
        return other.m_usedBlocks == 0 ||
               ((other.m_usedBlocks & ~m_usedBlocks) == 0 &&
                PresenceMasksCover(m_dedicatedSet, other.m_dedicatedSet));
    }

    bool operator==(const FlidMap& other) const {
        if (m_count != other.m_count || m_usedBlocks != other.m_usedBlocks) {
            return false;
        }
        for (uint32_t blocks = m_usedBlocks; blocks != 0; blocks &= blocks - 1) {
            const int b = __builtin_ctz(blocks);
            const unsigned S = m_dedicatedSet[b];
            if (S != other.m_dedicatedSet[b]) {
                return false;
            }
            for (unsigned bits = S; bits != 0; bits &= bits - 1) {
                const int s = __builtin_ctz(bits);
                // Plain == : a NaN never equals, not even itself.
                if (!(*ValueAt(m_dedicatedTable[b], s) == *ValueAt(other.m_dedicatedTable[b], s))) {
                    return false;
                }
            }
        }
        return true;
    }
    bool operator!=(const FlidMap& other) const { return !(*this == other); }

    // True when block b still uses the shared block (for tests and diagnostics).
    bool IsSharedBlock(int block) const { return m_dedicatedTable[block] == m_sharedTable; }

private:
    static Slot* AllocateBlock() {
        Slot* p = static_cast<Slot*>(malloc(block_bytes));
        if (p == nullptr) {
            // No way to keep a record consistent without its block storage.
            fprintf(stderr, "FlidMap: out of memory allocating a block of %zu bytes\n",
                    block_bytes);
            abort();
        }
        return p;
    }

    static T* ValueAt(Slot* blk, int s) {
        if constexpr (IS_STRING) {
            return blk[s];
        } else {
            return &blk[s];
        }
    }
    static const T* ValueAt(const Slot* blk, int s) {
        if constexpr (IS_STRING) {
            return blk[s];
        } else {
            return &blk[s];
        }
    }

    static GrowingStr* NewString(const GrowingStr& text) { return new GrowingStr(text); }
    __attribute__((noinline)) static GrowingStr* NewEmptyString() { return new GrowingStr(); }

    // Marks the absent field of bit m in block b, whose presence mask is set, present (its
    // value and, for a shared block, the shared set are the caller's).
    void MarkPresent(int b, unsigned set, unsigned m) {
        m_dedicatedSet[b] = static_cast<unsigned short>(set | m);
        m_usedBlocks |= 1u << b;
        ++m_count;
    }

    // The deallocation set that applies to block b where it stands now.
    unsigned short& DeallocSetOf(int b) {
        return m_dedicatedTable[b] == m_sharedTable ? m_sharedDeallocationSet
                                                    : m_dedicatedDeallocationSet[b];
    }
    unsigned DeallocSetOf(int b) const {
        return m_dedicatedTable[b] == m_sharedTable ? m_sharedDeallocationSet
                                                    : m_dedicatedDeallocationSet[b];
    }

    // Strings: makes slot s of block b (whose field is absent) own an object.
    void OwnSlot(int b, int s) {
        if constexpr (IS_STRING) {
            unsigned short& dealloc = DeallocSetOf(b);
            const unsigned m = 1u << s;
            if ((dealloc & m) == 0) {
                m_dedicatedTable[b][s] = NewEmptyString();
                dealloc |= static_cast<unsigned short>(m);
            }
        } else {
            (void)b;
            (void)s;
        }
    }

    // Gives block b (now shared) storage of its own: the shared block is copied
    // so that b keeps its present fields, which leave the shared sets. For
    // strings the objects of b's present fields move with them.
    __attribute__((noinline)) void Dedicate(int b) {
        Slot* blk = AllocateBlock();
        memcpy(static_cast<void*>(blk), m_sharedTable, block_bytes);
        m_dedicatedTable[b] = blk;
        const unsigned short mine = m_dedicatedSet[b];
        m_sharedSet &= static_cast<unsigned short>(~mine);
        if constexpr (IS_STRING) {
            m_sharedDeallocationSet &= static_cast<unsigned short>(~mine);
            m_dedicatedDeallocationSet[b] = 0;
        }
    }

    // AssignText into a slot that has no object of its own yet.
    __attribute__((noinline)) bool AssignTextSlow(int id, const char* text, int len) {
        if (!PrepareValue(id)->assign(text, len)) {
            return false;
        }
        FlagReference(id);
        return true;
    }

    // insert() for the strings of block b set in S, whose objects are src.
    __attribute__((noinline)) void MergeStrings(int b, unsigned S, const Slot* src) {
        if constexpr (IS_STRING) {
            if (m_dedicatedTable[b] == m_sharedTable) {
                // Slots of the shared block taken by other blocks collide. A block
                // that gets storage here starts with no deallocation bits, so its
                // new fields get objects of their own.
                if ((m_sharedSet & ~static_cast<unsigned>(m_dedicatedSet[b]) & S) != 0) {
                    Dedicate(b);
                } else {
                    m_sharedSet |= static_cast<unsigned short>(S);
                }
            }
            Slot* dst = m_dedicatedTable[b];
            const unsigned present = m_dedicatedSet[b];
            const unsigned owned = present | DeallocSetOf(b);
            for (unsigned bits = S; bits != 0; bits &= bits - 1) {
                const int s = __builtin_ctz(bits);
                const unsigned m = 1u << s;
                if ((present & m) != 0) {
                    if (!(*dst[s] == *src[s])) {
                        *dst[s] = *src[s];
                    }
                } else if ((owned & m) != 0) {
                    *dst[s] = *src[s];
                } else {
                    dst[s] = NewString(*src[s]);
                }
            }
            m_count += CountBits16(S & ~present);
            m_dedicatedSet[b] = static_cast<unsigned short>(present | S);
            m_usedBlocks |= 1u << b;
        } else {
            (void)b;
            (void)S;
            (void)src;
        }
    }

    static void DeleteOwned(Slot* blk, unsigned owned) {
        if constexpr (IS_STRING) {
            for (unsigned bits = owned; bits != 0; bits &= bits - 1) {
                delete blk[__builtin_ctz(bits)];
            }
        } else {
            (void)blk;
            (void)owned;
        }
    }

    Slot* m_dedicatedTable[table_array_size];
    unsigned short m_dedicatedSet[IS_STRING ? 2 * table_array_size : table_array_size];
    unsigned short* m_dedicatedDeallocationSet;
    Slot* m_sharedTable;
    unsigned short m_sharedSet = 0;
    unsigned short m_sharedDeallocationSet = 0;
    uint32_t m_usedBlocks = 0;  // bit b: block b holds a present field
    size_t m_count = 0;
};
