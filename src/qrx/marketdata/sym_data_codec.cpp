// The record body: a short count of values, then groups of up to eight ids, each
// a group number (id >> 3), a presence mask and the values of its set bits from
// bit 7 down to bit 0. A block of a record map is exactly two groups, so the
// encoder walks presence masks and the decoder stores straight into slots.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>

#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/runtime/short_text.h"

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the codec reads presence masks and slots in little-endian order");

// For each group mask, its set bits from 7 down to 0 as 4-bit entries holding
// bit + 1, the first in the lowest entry, 0 ending the list: a group is walked
// without a bit scan per value, whose chain of dependent instructions would
// otherwise set the pace.
struct SlotOrder {
    uint32_t list[256];
};

constexpr SlotOrder MakeSlotOrder() {
    SlotOrder t{};
    for (unsigned m = 0; m < 256; ++m) {
        uint32_t list = 0;
        int n = 0;
        for (int bit = 7; bit >= 0; --bit) {
            if ((m >> bit) & 1u) {
                list |= static_cast<uint32_t>(bit + 1) << (4 * n++);
            }
        }
        t.list[m] = list;
    }
    return t;
}

constexpr SlotOrder kSlotOrder = MakeSlotOrder();

// ---- encoding a record ----
// The body is written with plain stores into room taken from the stream in one
// go, group by group in increasing order.

inline uint16_t ByteSwap(uint16_t v) {
    return __builtin_bswap16(v);
}
inline uint32_t ByteSwap(uint32_t v) {
    return __builtin_bswap32(v);
}
inline uint64_t ByteSwap(uint64_t v) {
    return __builtin_bswap64(v);
}

// Stores v big-endian as the unsigned U of its size.
template <typename U, typename V>
inline char* PutBE(char* p, const V& v) {
    static_assert(sizeof(U) == sizeof(V), "a value is stored in its own size");
    U u;
    memcpy(&u, &v, sizeof u);
    u = ByteSwap(u);
    memcpy(p, &u, sizeof u);
    return p + sizeof u;
}

inline char* PutBE16(char* p, unsigned v) {
    return PutBE<uint16_t>(p, static_cast<uint16_t>(v));
}

inline char* PutSlot(char* p, const double& v) {
    return PutBE<uint64_t>(p, v);
}
inline char* PutSlot(char* p, const int& v) {
    return PutBE<uint32_t>(p, v);
}
inline char* PutSlot(char* p, const char& v) {
    *p = v;
    return p + 1;
}
inline char* PutSlot(char* p, GrowingStr* const& s) {
    const unsigned n = s->length();
    p = PutBE16(p, n);
    const char* src = s->c_str();
    if (n - 1u < short_text::kMaxLen) {
        short_text::Copy(p, src, n);  // symbols and topics: without a call
    } else {
        memcpy(p, src, n);
    }
    return p + n;
}

// Calls fn(k, mask) for every group k of a map that holds fields, in increasing order: group k
// is byte k of the map's presence masks (the low byte of block k / 2 for even k).
template <typename T, typename Fn>
inline void ForEachGroup(const FlidMap<T>& map, Fn&& fn) {
    for (uint32_t blocks = map.UsedBlocks(); blocks != 0; blocks &= blocks - 1) {
        const unsigned b = static_cast<unsigned>(__builtin_ctz(blocks));
        const unsigned mask = map.PresenceMask(static_cast<int>(b));
        if ((mask & 0xFFu) != 0) {
            fn(2 * b, mask & 0xFFu);
        }
        if ((mask >> 8) != 0) {
            fn(2 * b + 1, mask >> 8);
        }
    }
}

// Writes every group of one map: number, mask, values from bit 7 down to 0.
template <typename T>
char* PutGroups(const FlidMap<T>& map, unsigned firstGroup, char* p) {
    ForEachGroup(map, [&](unsigned k, unsigned mask) {
        p[0] = static_cast<char>(firstGroup + k);
        p[1] = static_cast<char>(mask);
        p += 2;
        const auto* slots = map.BlockSlots(static_cast<int>(k >> 1)) + 8 * (k & 1);
        for (uint32_t l = kSlotOrder.list[mask]; l != 0; l >>= 4) {
            p = PutSlot(p, slots[(l & 15u) - 1]);
        }
    });
    return p;
}

// Total length of the present strings.
size_t StringBytes(const FlidMap<GrowingStr>& map) {
    size_t n = 0;
    ForEachGroup(map, [&](unsigned k, unsigned mask) {
        GrowingStr* const* slots = map.BlockSlots(static_cast<int>(k >> 1)) + 8 * (k & 1);
        for (unsigned m = mask; m != 0; m &= m - 1) {
            n += slots[__builtin_ctz(m)]->length();
        }
    });
    return n;
}

// Number of groups of a map.
template <typename T>
size_t GroupCount(const FlidMap<T>& map) {
    size_t n = 0;
    ForEachGroup(map, [&n](unsigned, unsigned) { ++n; });
    return n;
}

// Room the body can need: every value in a group of its own.
size_t BodyBound(const CSymData& d, size_t strings) {
    return 2 + 10 * d.m_map_flid_2_double.size() + 6 * d.m_map_flid_2_int.size() +
           4 * d.m_map_flid_2_GrowingStr.size() + 3 * d.m_map_flid_2_char.size() + strings;
}

// The exact size of the body.
size_t BodySize(const CSymData& d, size_t strings) {
    const size_t groups = GroupCount(d.m_map_flid_2_double) + GroupCount(d.m_map_flid_2_int) +
                          GroupCount(d.m_map_flid_2_GrowingStr) + GroupCount(d.m_map_flid_2_char);
    return 2 + 2 * groups + 8 * d.m_map_flid_2_double.size() + 4 * d.m_map_flid_2_int.size() +
           2 * d.m_map_flid_2_GrowingStr.size() + d.m_map_flid_2_char.size() + strings;
}

// Writes the body at p, which has room for it; returns its end.
char* PutBody(const CSymData& d, char* p) {
    const size_t total = d.m_map_flid_2_double.size() + d.m_map_flid_2_int.size() +
                         d.m_map_flid_2_GrowingStr.size() + d.m_map_flid_2_char.size();
    p = PutBE16(p, static_cast<unsigned>(total));
    p = PutGroups(d.m_map_flid_2_double, 0, p);
    p = PutGroups(d.m_map_flid_2_int, 64, p);
    p = PutGroups(d.m_map_flid_2_GrowingStr, 128, p);
    return PutGroups(d.m_map_flid_2_char, 192, p);
}

// Classification from the presence masks (same rule as CTickClassifier).
CTickTypes::enTickType Classify(const CSymData& d) {
    // Trade fields: doubles 2, 3, 6, 7 (block 0), 18, 21 (block 1); ints 514, 517.
    const unsigned tradeD0 = (1u << 2) | (1u << 3) | (1u << 6) | (1u << 7);
    const unsigned tradeD1 = (1u << (18 - 16)) | (1u << (21 - 16));
    const unsigned tradeI0 = (1u << 2) | (1u << 5);
    // Size fields: ints 512, 513, 515, 516; neutral: strings 1024 (block 0) and 1074 (block 3).
    const unsigned sizeI0 = (1u << 0) | (1u << 1) | (1u << 3) | (1u << 4);
    const unsigned neutralS0 = 1u << 0;
    const unsigned neutralS3 = 1u << (1074 - 1024 - 48);

    const FlidMap<double>& dbl = d.m_map_flid_2_double;
    const FlidMap<int>& ints = d.m_map_flid_2_int;
    const FlidMap<GrowingStr>& str = d.m_map_flid_2_GrowingStr;
    if ((dbl.PresenceMask(0) & tradeD0) != 0 || (dbl.PresenceMask(1) & tradeD1) != 0 ||
        (ints.PresenceMask(0) & tradeI0) != 0) {
        return CTickTypes::TK_TYPE_TRD_DATA;
    }
    const size_t sizes = FlidMap<int>::CountBits16(ints.PresenceMask(0) & sizeI0);
    const size_t neutral = FlidMap<GrowingStr>::CountBits16(str.PresenceMask(0) & neutralS0) +
                           FlidMap<GrowingStr>::CountBits16(str.PresenceMask(3) & neutralS3);
    const bool onlySizes =
        dbl.empty() && d.m_map_flid_2_char.empty() && ints.size() == sizes && str.size() == neutral;
    return onlySizes ? CTickTypes::TK_TYPE_MKTSIZE_ONLY : CTickTypes::TK_TYPE_DEF;
}

// ---- decoding a record ----
// The decoder reads the stream's bytes in place and moves the stream past what
// it consumed, exactly as field-by-field reads would: a failed value read
// consumes nothing, except a text whose length was read.

// Error texts of the two record decoders (live stream and SerializedBuf).
struct DecodeTexts {
    const char* szValue[4];  // failed value read, by type; followed by the id
    bool bReportStructure;   // report failed reads of group numbers and masks
};

const DecodeTexts kStreamTexts = {
    {"SerializeSymIn error reading flid double ", "SerializeSymIn error reading flid int ",
     "SerializeSymIn error reading flid string ", "SerializeSymIn error reading flid char "},
    true};

const DecodeTexts kBufferTexts = {
    {"SerializeSymIn error reading double flid ", "SerializeSymIn error reading int flid ",
     "SerializeSymIn error reading string flid ", "SerializeSymIn error reading char flid "},
    false};

bool ValueError(const char* text, int id) {
    fprintf(stderr, "%s%d\n", text, id);
    return false;
}

bool Excluded(const std::set<int>* pEx, int id) {
    return pEx != nullptr && pEx->count(id) != 0;
}

typedef const unsigned char* Cursor;

// Loads a big-endian V stored as the unsigned U of its size.
template <typename V, typename U>
inline V GetBE(Cursor p) {
    static_assert(sizeof(U) == sizeof(V), "a value is loaded from its own size");
    U u;
    memcpy(&u, p, sizeof u);
    u = ByteSwap(u);
    V v;
    memcpy(&v, &u, sizeof v);
    return v;
}

inline double GetSlot(Cursor p, double*) {
    return GetBE<double, uint64_t>(p);
}
inline int GetSlot(Cursor p, int*) {
    return GetBE<int, uint32_t>(p);
}
inline char GetSlot(Cursor p, char*) {
    return static_cast<char>(*p);
}

// Where a group's reading ended, and whether it succeeded. Cursors travel by
// value: a cursor kept in memory would be reloaded after every char store.
struct Step {
    Cursor p;
    bool ok;
};

// Reads the values of one group of a numeric or char type into map: first the
// values that are whole in the input, stored straight into their block's slots;
// then, when the input ends inside the group, the error of the first value cut.
template <typename T>
Step GetGroup(FlidMap<T>& map, unsigned group, unsigned mask, Cursor p, Cursor end,
              const char* szError, const std::set<int>* pEx) {
    if (mask == 0) {
        return {p, true};
    }
    const int base = static_cast<int>(group) * 8;
    const int block = (group & 63) >> 1;
    const int shift = 8 * (group & 1);
    unsigned whole = mask;
    const size_t fit = static_cast<size_t>(end - p) / sizeof(T);
    if (fit < 8 && fit < kBitCount8.n[mask]) {
        whole = 0;
        unsigned m = mask;
        for (size_t i = 0; i < fit; ++i) {
            const int s = 31 - __builtin_clz(m);
            whole |= 1u << s;
            m ^= 1u << s;
        }
    }
    unsigned store = whole;
    if (pEx != nullptr) {
        for (unsigned m = whole; m != 0; m &= m - 1) {
            const int s = __builtin_ctz(m);
            if (Excluded(pEx, base + s)) {
                store &= ~(1u << s);
            }
        }
    }
    T* slots = map.PrepareBlock(block, store << shift) + shift;
    if (store == whole) {
        for (uint32_t l = kSlotOrder.list[whole]; l != 0; l >>= 4) {
            slots[(l & 15u) - 1] = GetSlot(p, static_cast<T*>(nullptr));
            p += sizeof(T);
        }
    } else {
        for (uint32_t l = kSlotOrder.list[whole]; l != 0; l >>= 4) {
            const unsigned s = (l & 15u) - 1;
            if ((store >> s) & 1u) {
                slots[s] = GetSlot(p, static_cast<T*>(nullptr));
            }
            p += sizeof(T);
        }
    }
    map.FlagBlock(block, store << shift);
    if (whole != mask) {
        return {p, ValueError(szError, base + 31 - __builtin_clz(mask & ~whole))};
    }
    return {p, true};
}

// Strings are read straight into the slot's object, which a cleared record
// keeps, so refilling allocates nothing while the texts fit.
Step GetStringGroup(FlidMap<GrowingStr>& map, unsigned group, unsigned mask, Cursor p, Cursor end,
                    const char* szError, const std::set<int>* pEx) {
    const int base = static_cast<int>(group) * 8;
    for (uint32_t l = kSlotOrder.list[mask]; l != 0; l >>= 4) {
        const int id = base + static_cast<int>(l & 15u) - 1;
        if (end - p < 2) {
            return {p, ValueError(szError, id)};
        }
        const int len = (p[0] << 8) | p[1];
        p += 2;  // a refused text has consumed its length
        if (len > end - p || len > CSymDataAux::MAX_BODY_STRING) {
            return {p, ValueError(szError, id)};
        }
        if (!Excluded(pEx, id)) {
            if (!map.AssignText(id, reinterpret_cast<const char*>(p), len)) {
                return {p, ValueError(szError, id)};
            }
        }
        p += len;
    }
    return {p, true};
}

// Decodes one body from p; returns where it stopped and whether it succeeded.
Step DecodeBody(CSymData& d, Cursor p, Cursor end, const DecodeTexts& texts,
                const std::set<int>* pEx) {
    if (end - p < 2) {
        return {p, false};
    }
    int remaining = static_cast<short>((p[0] << 8) | p[1]);
    p += 2;
    // A group is always read whole; the count is checked between groups. A
    // count that the values overrun (or a negative one) ends the body here
    // rather than reading into whatever follows it.
    while (remaining > 0) {
        if (p == end) {
            if (texts.bReportStructure) {
                fprintf(stderr, "SerializeSymIn error reading record number \n");
            }
            return {p, false};
        }
        const unsigned group = *p++;
        if (p == end) {
            if (texts.bReportStructure) {
                fprintf(stderr, "SerializeSymIn error reading record mask \n");
            }
            return {p, false};
        }
        const unsigned mask = *p++;
        Step step;
        switch (group >> 6) {
            case 0:
                step = GetGroup(d.m_map_flid_2_double, group, mask, p, end, texts.szValue[0], pEx);
                break;
            case 1:
                step = GetGroup(d.m_map_flid_2_int, group, mask, p, end, texts.szValue[1], pEx);
                break;
            case 2:
                step = GetStringGroup(d.m_map_flid_2_GrowingStr, group, mask, p, end,
                                      texts.szValue[2], pEx);
                break;
            default:
                step = GetGroup(d.m_map_flid_2_char, group, mask, p, end, texts.szValue[3], pEx);
                break;
        }
        p = step.p;
        if (!step.ok) {
            return step;
        }
        remaining -= kBitCount8.n[mask];
    }
    return {p, remaining == 0};
}

bool DecodeRecord(CSymData& d, CNetStream& in, const DecodeTexts& texts, const std::set<int>* pEx) {
    const Cursor start = reinterpret_cast<Cursor>(in.GetReadPtr());
    if (start == nullptr) {
        return false;
    }
    const Step end = DecodeBody(d, start, start + in.GetRemaining(), texts, pEx);
    in.Skip(static_cast<size_t>(end.p - start));
    return end.ok;
}

}  // namespace

bool CSymDataAux::SerializeSymOut(const CSymData& data, CNetStream& out) {
    const size_t strings = StringBytes(data.m_map_flid_2_GrowingStr);
    size_t size = BodyBound(data, strings);
    char* p = out.PrepareAppend(size);
    if (p == nullptr) {
        // An attached buffer may still hold the exact body.
        size = BodySize(data, strings);
        p = out.PrepareAppend(size);
        if (p == nullptr) {
            return false;
        }
    }
    return out.CommitAppend(static_cast<size_t>(PutBody(data, p) - p));
}

bool CSymDataAux::SerializeSymIn(CSymData& data, CNetStream& in) {
    return DecodeRecord(data, in, kStreamTexts, nullptr);
}

bool CSymDataAux::SerializeSymOut(CSymData& data, SerializedBuf& buf) {
    buf.m_topic = data.m_topic;
    buf.m_eTickType = Classify(data);
    // The body goes straight into the buffer: no scratch stream, and no
    // allocation once the buffer is large enough.
    const size_t bound = BodyBound(data, StringBytes(data.m_map_flid_2_GrowingStr));
    buf.m_SerializedBuffer.Reset();
    char* p = buf.m_SerializedBuffer.GetBuffer(static_cast<int>(bound));
    buf.m_SerializedBuffer.SetLength(static_cast<int>(PutBody(data, p) - p));
    return true;
}

bool CSymDataAux::SerializeSymIn(CSymData& data, SerializedBuf& buf, std::set<int>* pSetExFlids) {
    CNetStream in(buf.m_SerializedBuffer.GetData(), buf.m_SerializedBuffer.GetLength(), false);
    return DecodeRecord(data, in, kBufferTexts, pSetExFlids);
}
