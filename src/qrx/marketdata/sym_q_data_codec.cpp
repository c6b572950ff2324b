// The record body of a SymQData: the same groups as a record's, built from the
// sorted entry arrays, with allow and deny filtering of ids on both sides.
#include <cstdio>
#include <set>

#include "qrx/marketdata/sym_data_aux.h"

namespace {

constexpr short kSymbol = 1024;
constexpr short kTopic = 1074;

bool AlwaysSent(short id) {
    return id == kSymbol || id == kTopic;
}

bool Passes(short id, const std::set<short>* setAllow, const std::set<short>* setDeny) {
    if (AlwaysSent(id)) {
        return true;
    }
    return (setDeny == nullptr || setDeny->count(id) == 0) &&
           (setAllow == nullptr || setAllow->count(id) != 0);
}

// A value a peer can read: texts longer than a decoder accepts are left out
// rather than make the whole body unreadable.
template <typename Fld>
bool Sendable(const Fld&) {
    return true;
}
bool Sendable(const StrFld& f) {
    return f.m_value.length() <= CSymDataAux::MAX_BODY_STRING;
}

// Walks one sorted array and hands each entry that goes into the body to fn:
// it passes the filters, its id belongs to the array's type, its value is
// Sendable, and it is the first entry of its id in the run of its group (a
// repeated id would put two values behind one bit). A run thus hands over at
// most eight entries.
template <typename Arr, typename Fn>
void ForEachSent(const Arr& arr, int type, const std::set<short>* setAllow,
                 const std::set<short>* setDeny, Fn fn) {
    int group = -1;
    unsigned mask = 0;
    for (size_t i = 0; i < arr.Size(); ++i) {
        const short id = arr[i].m_flid;
        if (id < 0 || (id >> 9) != type || !Passes(id, setAllow, setDeny) || !Sendable(arr[i])) {
            continue;
        }
        if (id / 8 != group) {
            group = id / 8;
            mask = 0;
        }
        const unsigned bit = 1u << (id % 8);
        if ((mask & bit) != 0) {
            continue;
        }
        mask |= bit;
        fn(i, id);
    }
}

template <typename Arr>
void CountSent(const Arr& arr, int type, const std::set<short>* setAllow,
               const std::set<short>* setDeny, int& nCounted, int& nAlways) {
    ForEachSent(arr, type, setAllow, setDeny, [&](size_t, short id) {
        if (AlwaysSent(id)) {
            ++nAlways;
        } else {
            ++nCounted;
        }
    });
}

// Writes the groups of one array: entries of one group number are collected and
// written, highest id first, when the group number changes.
template <typename Arr>
bool PutArray(const Arr& arr, int type, const std::set<short>* setAllow,
              const std::set<short>* setDeny, CNetStream& out) {
    bool ok = true;
    int group = -1;
    unsigned mask = 0;
    size_t members[8];
    int nMembers = 0;
    auto flush = [&]() {
        if (nMembers == 0) {
            return;
        }
        // ForEachSent hands over each bit of a group once: nMembers <= 8.
        ok &= out.Append(static_cast<char>(group));
        ok &= out.Append(static_cast<char>(mask));
        for (int k = nMembers - 1; k >= 0; --k) {
            ok &= out.Append(arr[members[k]].m_value);
        }
        nMembers = 0;
        mask = 0;
    };
    ForEachSent(arr, type, setAllow, setDeny, [&](size_t i, short id) {
        if (id / 8 != group) {
            flush();
            group = id / 8;
        }
        mask |= 1u << (id % 8);
        members[nMembers++] = i;
    });
    flush();
    return ok;
}

// True when an entry of the array besides symbol and topic belongs to the
// array's type: the body then has a value to count.
template <typename Arr>
bool AnyCounted(const Arr& arr, int type) {
    for (size_t i = 0; i < arr.Size(); ++i) {
        const short id = arr[i].m_flid;
        if (id >= 0 && (id >> 9) == type && !AlwaysSent(id) && Sendable(arr[i])) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CSymDataAux::SerializeSymOut(SymQData& data, CNetStream& out, std::set<short>* setAllow,
                                  std::set<short>* setDeny) {
    // The sorted flag is only a claim (SetSort, AppendFld): groups must come in
    // increasing order with each id once, so every array is checked and an
    // array out of order is sorted (one in order is left as it is).
    data.SetSort(false);
    data.Sort();
    // Counted first, so that the body is written straight into out with the
    // number of values it really holds.
    int nCounted = 0;
    int nAlways = 0;
    CountSent(data.m_vecDbl, 0, setAllow, setDeny, nCounted, nAlways);
    CountSent(data.m_vecInt, 1, setAllow, setDeny, nCounted, nAlways);
    CountSent(data.m_vecStr, 2, setAllow, setDeny, nCounted, nAlways);
    CountSent(data.m_vecChr, 3, setAllow, setDeny, nCounted, nAlways);
    if (nCounted == 0) {
        return true;  // nothing besides symbol and topic: no body at all
    }
    bool ok = out.Append(static_cast<short>(nCounted + nAlways));
    ok &= PutArray(data.m_vecDbl, 0, setAllow, setDeny, out);
    ok &= PutArray(data.m_vecInt, 1, setAllow, setDeny, out);
    ok &= PutArray(data.m_vecStr, 2, setAllow, setDeny, out);
    ok &= PutArray(data.m_vecChr, 3, setAllow, setDeny, out);
    if (!ok) {
        fprintf(stdout, "Unable to Attach Stream\n");
    }
    return ok;
}

bool CSymDataAux::HasSymBody(const SymQData& data) {
    return AnyCounted(data.m_vecDbl, 0) || AnyCounted(data.m_vecInt, 1) ||
           AnyCounted(data.m_vecStr, 2) || AnyCounted(data.m_vecChr, 3);
}

bool CSymDataAux::SerializeSymOut(SymQData& data, CNetStream& out, CNetStream& /*tmpOut*/,
                                  std::set<short>* setAllow, std::set<short>* setDeny) {
    return SerializeSymOut(data, out, setAllow, setDeny);
}

bool CSymDataAux::SerializeSymIn(SymQData& data, CNetStream& in, std::set<int>* pSetFlidFilter,
                                 bool bFlidFilterMode, bool* pbPublishData) {
    data.Clear();
    if (pbPublishData != nullptr) {
        *pbPublishData = false;
    }
    CTickClassifier cls;
    bool ok = true;
    short nCount = 0;
    if (!in.GetNextField(nCount)) {
        ok = false;
    } else {
        int remaining = nCount;
        while (ok && remaining > 0) {
            char cGroup;
            char cMask;
            if (!in.GetNextField(cGroup) || !in.GetNextField(cMask)) {
                ok = false;
                break;
            }
            const int group = static_cast<unsigned char>(cGroup);
            const unsigned mask = static_cast<unsigned char>(cMask);
            for (int bit = 7; bit >= 0 && ok; --bit) {
                if (((mask >> bit) & 1u) == 0) {
                    continue;
                }
                const int id = group * 8 + bit;
                const short sid = static_cast<short>(id);
                bool accepted = true;
                if (pSetFlidFilter != nullptr) {
                    const bool held = pSetFlidFilter->count(id) != 0;
                    accepted = bFlidFilterMode ? held : !held;
                }
                if (accepted && pbPublishData != nullptr) {
                    *pbPublishData = true;
                }
                cls.Add(id);
                --remaining;
                if (group < 64) {
                    double v;
                    if (!in.GetNextField(v)) {
                        fprintf(stderr, "SerializeSymIn error reading double flid %d\n", id);
                        ok = false;
                    } else if (accepted) {
                        SymQData::AppendFld(data.m_vecDbl, sid, v);
                    }
                } else if (group < 128) {
                    int v;
                    if (!in.GetNextField(v)) {
                        fprintf(stderr, "SerializeSymIn error reading int flid %d\n", id);
                        ok = false;
                    } else if (accepted) {
                        SymQData::AppendFld(data.m_vecInt, sid, v);
                    }
                } else if (group < 192) {
                    // Read into the next entry in place; kept only when wanted.
                    StrFld& f = data.m_vecStr.NextSlot();
                    if (!in.GetNextField(f.m_value, MAX_BODY_STRING)) {
                        fprintf(stderr, "SerializeSymIn error reading string flid %d\n", id);
                        ok = false;
                    } else if (accepted || AlwaysSent(sid)) {
                        f.m_flid = sid;
                        if (AlwaysSent(sid)) {
                            data.m_topic = f.m_value;
                        }
                        data.m_vecStr.Commit();
                    }
                } else {
                    char v;
                    if (!in.GetNextField(v)) {
                        fprintf(stderr, "SerializeSymIn error reading char flid %d\n", id);
                        ok = false;
                    } else if (accepted) {
                        SymQData::AppendFld(data.m_vecChr, sid, v);
                    }
                }
            }
        }
        // Values beyond the count: the body lied; stop at its end.
        if (ok && remaining < 0) {
            ok = false;
        }
    }
    data.m_eTickType = cls.Result();
    data.Sort();
    return ok;
}
