// A market-data update held as four arrays of (id, value) entries, one per value
// type: the form the consolidated order book messages carry their legs in. The
// arrays are sorted lazily (m_bSorted) so that repeated encodings sort once.
#pragma once

#include <cstddef>
#include <ostream>

#include "qrx/marketdata/dyn_array.h"
#include "qrx/marketdata/tick_type.h"
#include "qrx/runtime/growing_str.h"

struct DblFld {
    short m_flid = 0;
    double m_value = 0.0;
};
struct IntFld {
    short m_flid = 0;
    int m_value = 0;
};
struct StrFld {
    short m_flid = 0;
    GrowingStr m_value;
};
struct ChrFld {
    short m_flid = 0;
    char m_value = 0;
};

// Orders entries by id, ascending.
template <typename T>
struct predFld {
    bool operator()(const T& a, const T& b) const { return a.m_flid < b.m_flid; }
};

class SymQData : public CTickTypes {
public:
    static constexpr int MAX_FLID = 2048;

    typedef DynArray<DblFld, MemCopy> DblArray;
    typedef DynArray<IntFld, MemCopy> IntArray;
    typedef DynArray<StrFld, ObjCopy> StrArray;
    typedef DynArray<ChrFld, MemCopy> ChrArray;

    // Visits every entry: doubles, then ints, strings and chars, each array in
    // its own order. Dereferencing gives the id; Type() tells which array.
    class FlidIterator {
    public:
        FlidIterator(const SymQData* q, int type, size_t pos) : m_q(q), m_type(type), m_pos(pos) {
            SkipEmpty();
        }
        short operator*() const;
        // 0 double, 1 int, 2 string, 3 char; 4 at the end.
        int Type() const { return m_type; }
        const DblFld& Dbl() const { return m_q->m_vecDbl[m_pos]; }
        const IntFld& Int() const { return m_q->m_vecInt[m_pos]; }
        const StrFld& Str() const { return m_q->m_vecStr[m_pos]; }
        const ChrFld& Chr() const { return m_q->m_vecChr[m_pos]; }
        FlidIterator& operator++() {
            ++m_pos;
            SkipEmpty();
            return *this;
        }
        bool operator==(const FlidIterator& o) const {
            return m_type == o.m_type && m_pos == o.m_pos;
        }
        bool operator!=(const FlidIterator& o) const { return !(*this == o); }

    private:
        size_t ArraySize(int type) const;
        void SkipEmpty() {
            while (m_type < 4 && m_pos >= ArraySize(m_type)) {
                ++m_type;
                m_pos = 0;
            }
        }
        const SymQData* m_q;
        int m_type;
        size_t m_pos;
    };

    SymQData();
    SymQData(const SymQData& other);
    SymQData& operator=(const SymQData& other);
    virtual ~SymQData() = default;

    // Deep copy: sequence number, arrays, tick type, topic and sorted flag.
    void Copy(const SymQData& other);
    // Sequence number 0, arrays emptied, tick type default, topic emptied, unsorted.
    void Clear();
    // Sorts each array by id unless already sorted.
    void Sort();
    // Declares the arrays sorted (or not) without looking at them.
    void SetSort(bool bSorted = true) { m_bSorted = bSorted; }

    // Store a value: an entry with the same id is replaced, otherwise one is
    // appended. False, with nothing stored, for an id outside the value's type
    // (0-511 double, 512-1023 int, 1024-1535 string, 1536-2047 char).
    bool SetFlid(short id, double v);
    bool SetFlid(short id, int v);
    bool SetFlid(short id, char v);
    bool SetFlid(short id, const char* v);
    bool SetFlid(short id, const GrowingStr& v);

    // Appends an entry to one of the arrays without looking for one with the
    // same id: for callers that know the id is new or that mean to keep both.
    template <typename Arr, typename V>
    static void AppendFld(Arr& arr, short id, const V& v) {
        if (arr.Size() == arr.Capacity() && arr.Holds(&v)) {
            const V copy(v);  // v lies in an entry of arr, which growing frees
            AppendFld(arr, id, copy);
            return;
        }
        auto& slot = arr.NextSlot();
        slot.m_flid = id;
        slot.m_value = v;
        arr.Commit();
    }

    // Merges src into dst: entries of src replace those of dst with the same id,
    // the others are added. dst ends sorted; src is not changed.
    static void Merge(SymQData& dst, SymQData& src);

    // Number of entries in all four arrays.
    size_t Size() const {
        return m_vecDbl.Size() + m_vecInt.Size() + m_vecStr.Size() + m_vecChr.Size();
    }

    const DblFld* beginDblIter() const { return m_vecDbl.begin(); }
    const DblFld* endDblIter() const { return m_vecDbl.end(); }
    const IntFld* beginIntIter() const { return m_vecInt.begin(); }
    const IntFld* endIntIter() const { return m_vecInt.end(); }
    const StrFld* beginStrIter() const { return m_vecStr.begin(); }
    const StrFld* endStrIter() const { return m_vecStr.end(); }
    const ChrFld* beginChrIter() const { return m_vecChr.begin(); }
    const ChrFld* endChrIter() const { return m_vecChr.end(); }
    FlidIterator begin() const { return FlidIterator(this, 0, 0); }
    FlidIterator end() const { return FlidIterator(this, 4, 0); }

    unsigned int m_nSeqNum;
    DblArray m_vecDbl;
    IntArray m_vecInt;
    StrArray m_vecStr;
    ChrArray m_vecChr;
    enTickType m_eTickType;
    GrowingStr m_topic;
    bool m_bSorted;

    static const predFld<DblFld> m_compDbl;
    static const predFld<IntFld> m_compInt;
    static const predFld<StrFld> m_compStr;
    static const predFld<ChrFld> m_compChr;
};

std::ostream& operator<<(std::ostream& os, const DblFld& f);
std::ostream& operator<<(std::ostream& os, const IntFld& f);
std::ostream& operator<<(std::ostream& os, const StrFld& f);
std::ostream& operator<<(std::ostream& os, const ChrFld& f);
// "Tick for : " topic, then one line " Flid (id) = value" per entry.
std::ostream& operator<<(std::ostream& os, SymQData& q);
