// The record body: a short count of values, then groups of up to eight ids, each
// a group number (id >> 3), a presence mask and the values of its set bits from
// bit 7 down to bit 0. A block of a record map is exactly two groups, so the
// encoder walks presence masks and the decoder stores straight into slots.
#include <cstdio>
#include <set>

#include "qrx/marketdata/sym_data_aux.h"

namespace {

// ---- encoding a record ----

inline bool PutValue(CNetStream& out, const double& v) {
    return out.Append(v);
}
inline bool PutValue(CNetStream& out, const int& v) {
    return out.Append(v);
}
inline bool PutValue(CNetStream& out, const GrowingStr& v) {
    return out.Append(v);
}
inline bool PutValue(CNetStream& out, const char& v) {
    return out.Append(v);
}

inline size_t ValueSize(const double&) {
    return 8;
}
inline size_t ValueSize(const int&) {
    return 4;
}
inline size_t ValueSize(const GrowingStr& v) {
    return 2 + static_cast<size_t>(v.length());
}
inline size_t ValueSize(const char&) {
    return 1;
}

// Writes one group: number, mask and the values of slots first+7 down to first.
template <typename T>
bool PutGroup(const FlidMap<T>& map, int block, int firstSlot, unsigned mask, int group,
              CNetStream& out) {
    bool ok = out.Append(static_cast<char>(group));
    ok &= out.Append(static_cast<char>(mask));
    for (int bit = 7; bit >= 0; --bit) {
        if ((mask >> bit) & 1u) {
            ok &= PutValue(out, map.SlotValue(block, firstSlot + bit));
        }
    }
    return ok;
}

template <typename T>
bool PutMap(const FlidMap<T>& map, int type, CNetStream& out) {
    if (map.empty()) {
        return true;
    }
    bool ok = true;
    for (int b = 0; b < FlidMap<T>::table_array_size; ++b) {
        const unsigned M = map.PresenceMask(b);
        if (M == 0) {
            continue;
        }
        const int group = type * 64 + 2 * b;
        if ((M & 0xFFu) != 0) {
            ok &= PutGroup(map, b, 0, M & 0xFFu, group, out);
        }
        if ((M >> 8) != 0) {
            ok &= PutGroup(map, b, 8, M >> 8, group + 1, out);
        }
    }
    return ok;
}

// Exact size of the groups of one map.
template <typename T>
size_t MapBodySize(const FlidMap<T>& map) {
    if (map.empty()) {
        return 0;
    }
    size_t n = 0;
    for (int b = 0; b < FlidMap<T>::table_array_size; ++b) {
        const unsigned M = map.PresenceMask(b);
        if ((M & 0xFFu) != 0) {
            n += 2;
        }
        if ((M >> 8) != 0) {
            n += 2;
        }
        for (unsigned bits = M; bits != 0; bits &= bits - 1) {
            n += ValueSize(map.SlotValue(b, __builtin_ctz(bits)));
        }
    }
    return n;
}

size_t RecordBodySize(const CSymData& d) {
    return 2 + MapBodySize(d.m_map_flid_2_double) + MapBodySize(d.m_map_flid_2_int) +
           MapBodySize(d.m_map_flid_2_GrowingStr) + MapBodySize(d.m_map_flid_2_char);
}

CTickTypes::enTickType Classify(const CSymData& d) {
    CTickClassifier cls;
    for (auto it = d.m_setFlids.begin(); it != d.m_setFlids.end(); ++it) {
        cls.Add(*it);
    }
    return cls.Result();
}

// ---- decoding a record ----

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

// Reads the values of one group of a numeric or char type into map.
template <typename T>
bool GetGroup(FlidMap<T>& map, CNetStream& in, int base, unsigned mask, const char* szError,
              const std::set<int>* pEx) {
    for (int bit = 7; bit >= 0; --bit) {
        if (((mask >> bit) & 1u) == 0) {
            continue;
        }
        const int id = base + bit;
        T v;
        if (!in.GetNextField(v)) {
            return ValueError(szError, id);
        }
        if (!Excluded(pEx, id)) {
            *map.PrepareValue(id) = v;
            map.FlagReference(id);
        }
    }
    return true;
}

// Strings are read straight into the slot's object, which a cleared record
// keeps, so refilling allocates nothing while the texts fit.
bool GetStringGroup(FlidMap<GrowingStr>& map, CNetStream& in, int base, unsigned mask,
                    const char* szError, const std::set<int>* pEx) {
    for (int bit = 7; bit >= 0; --bit) {
        if (((mask >> bit) & 1u) == 0) {
            continue;
        }
        const int id = base + bit;
        if (Excluded(pEx, id)) {
            GrowingStr skipped;
            if (!in.GetNextField(skipped, CSymDataAux::MAX_BODY_STRING)) {
                return ValueError(szError, id);
            }
            continue;
        }
        if (!in.GetNextField(*map.PrepareValue(id), CSymDataAux::MAX_BODY_STRING)) {
            return ValueError(szError, id);
        }
        map.FlagReference(id);
    }
    return true;
}

bool DecodeRecord(CSymData& d, CNetStream& in, const DecodeTexts& texts, const std::set<int>* pEx) {
    short nCount = 0;
    if (!in.GetNextField(nCount)) {
        return false;
    }
    int remaining = nCount;
    // A group is always read whole; the count is checked between groups. A
    // count that the values overrun (or a negative one) ends the body here
    // rather than reading into whatever follows it.
    while (remaining > 0) {
        char cGroup;
        if (!in.GetNextField(cGroup)) {
            if (texts.bReportStructure) {
                fprintf(stderr, "SerializeSymIn error reading record number \n");
            }
            return false;
        }
        char cMask;
        if (!in.GetNextField(cMask)) {
            if (texts.bReportStructure) {
                fprintf(stderr, "SerializeSymIn error reading record mask \n");
            }
            return false;
        }
        const unsigned mask = static_cast<unsigned char>(cMask);
        const int base = static_cast<unsigned char>(cGroup) * 8;
        const int type = (base & 0xFE00) / 512;
        bool ok = false;
        switch (type) {
            case 0:
                ok = GetGroup(d.m_map_flid_2_double, in, base, mask, texts.szValue[0], pEx);
                break;
            case 1:
                ok = GetGroup(d.m_map_flid_2_int, in, base, mask, texts.szValue[1], pEx);
                break;
            case 2:
                ok = GetStringGroup(d.m_map_flid_2_GrowingStr, in, base, mask, texts.szValue[2],
                                    pEx);
                break;
            case 3:
                ok = GetGroup(d.m_map_flid_2_char, in, base, mask, texts.szValue[3], pEx);
                break;
            default:
                fprintf(stderr, "SerializeSymIn error - record out of range \n");
                return false;
        }
        if (!ok) {
            return false;
        }
        remaining -= __builtin_popcount(mask);
    }
    return remaining == 0;
}

}  // namespace

bool CSymDataAux::SerializeSymOut(const CSymData& data, CNetStream& out) {
    const size_t total = data.m_map_flid_2_double.size() + data.m_map_flid_2_int.size() +
                         data.m_map_flid_2_GrowingStr.size() + data.m_map_flid_2_char.size();
    bool ok = out.Append(static_cast<short>(total));
    ok &= PutMap(data.m_map_flid_2_double, 0, out);
    ok &= PutMap(data.m_map_flid_2_int, 1, out);
    ok &= PutMap(data.m_map_flid_2_GrowingStr, 2, out);
    ok &= PutMap(data.m_map_flid_2_char, 3, out);
    return ok;
}

bool CSymDataAux::SerializeSymIn(CSymData& data, CNetStream& in) {
    return DecodeRecord(data, in, kStreamTexts, nullptr);
}

bool CSymDataAux::SerializeSymOut(CSymData& data, SerializedBuf& buf) {
    buf.m_topic = data.m_topic;
    buf.m_eTickType = Classify(data);
    // The body goes straight into the buffer through an attached stream sized
    // exactly: no scratch stream, and no allocation once the buffer is large enough.
    const size_t size = RecordBodySize(data);
    buf.m_SerializedBuffer.Reset();
    char* p = buf.m_SerializedBuffer.GetBuffer(static_cast<int>(size));
    CNetStream out(p, static_cast<int>(size), true);
    const bool ok = SerializeSymOut(static_cast<const CSymData&>(data), out);
    buf.m_SerializedBuffer.SetLength(out.GetLength());
    return ok;
}

bool CSymDataAux::SerializeSymIn(CSymData& data, SerializedBuf& buf, std::set<int>* pSetExFlids) {
    CNetStream in(buf.m_SerializedBuffer.GetData(), buf.m_SerializedBuffer.GetLength(), false);
    return DecodeRecord(data, in, kBufferTexts, pSetExFlids);
}
