#include "qrx/marketdata/sym_q_data.h"

const predFld<DblFld> SymQData::m_compDbl;
const predFld<IntFld> SymQData::m_compInt;
const predFld<StrFld> SymQData::m_compStr;
const predFld<ChrFld> SymQData::m_compChr;

namespace {

bool InType(short id, int type) {
    return id >= 0 && (id >> 9) == type;
}

// Replaces the entry with the same id or appends one; keeps the sorted flag true
// only while the array stays in order.
template <typename Arr, typename V>
void Store(Arr& arr, bool& bSorted, short id, const V& v) {
    for (auto& e : arr) {
        if (e.m_flid == id) {
            e.m_value = v;
            return;
        }
    }
    if (bSorted && arr.Size() != 0 && arr[arr.Size() - 1].m_flid > id) {
        bSorted = false;
    }
    SymQData::AppendFld(arr, id, v);
}

}  // namespace

short SymQData::FlidIterator::operator*() const {
    switch (m_type) {
        case 0:
            return Dbl().m_flid;
        case 1:
            return Int().m_flid;
        case 2:
            return Str().m_flid;
        case 3:
            return Chr().m_flid;
        default:
            return -1;
    }
}

size_t SymQData::FlidIterator::ArraySize(int type) const {
    switch (type) {
        case 0:
            return m_q->m_vecDbl.Size();
        case 1:
            return m_q->m_vecInt.Size();
        case 2:
            return m_q->m_vecStr.Size();
        case 3:
            return m_q->m_vecChr.Size();
        default:
            return 0;
    }
}

SymQData::SymQData()
    : m_nSeqNum(0),
      m_vecDbl(10),
      m_vecInt(10),
      m_vecStr(5),
      m_vecChr(5),
      m_eTickType(TK_TYPE_DEF),
      m_bSorted(false) {}

SymQData::SymQData(const SymQData& other) : SymQData() {
    Copy(other);
}

SymQData& SymQData::operator=(const SymQData& other) {
    Copy(other);
    return *this;
}

void SymQData::Copy(const SymQData& other) {
    if (&other == this) {
        return;
    }
    m_nSeqNum = other.m_nSeqNum;
    m_vecDbl.CopyFrom(other.m_vecDbl);
    m_vecInt.CopyFrom(other.m_vecInt);
    m_vecStr.CopyFrom(other.m_vecStr);
    m_vecChr.CopyFrom(other.m_vecChr);
    m_eTickType = other.m_eTickType;
    m_topic = other.m_topic;
    m_bSorted = other.m_bSorted;
}

void SymQData::Clear() {
    m_nSeqNum = 0;
    m_vecDbl.Clear();
    m_vecInt.Clear();
    m_vecStr.Clear();
    m_vecChr.Clear();
    m_eTickType = TK_TYPE_DEF;
    m_topic.clear();
    m_bSorted = false;
}

void SymQData::Sort() {
    if (m_bSorted) {
        return;
    }
    m_vecDbl.Sort(m_compDbl);
    m_vecInt.Sort(m_compInt);
    m_vecStr.Sort(m_compStr);
    m_vecChr.Sort(m_compChr);
    m_bSorted = true;
}

bool SymQData::SetFlid(short id, double v) {
    if (!InType(id, 0)) {
        return false;
    }
    Store(m_vecDbl, m_bSorted, id, v);
    return true;
}

bool SymQData::SetFlid(short id, int v) {
    if (!InType(id, 1)) {
        return false;
    }
    Store(m_vecInt, m_bSorted, id, v);
    return true;
}

bool SymQData::SetFlid(short id, const GrowingStr& v) {
    if (!InType(id, 2)) {
        return false;
    }
    Store(m_vecStr, m_bSorted, id, v);
    return true;
}

bool SymQData::SetFlid(short id, const char* v) {
    if (!InType(id, 2)) {
        return false;
    }
    // The text is assigned straight into the entry, which keeps its buffer.
    Store(m_vecStr, m_bSorted, id, v);
    return true;
}

bool SymQData::SetFlid(short id, char v) {
    if (!InType(id, 3)) {
        return false;
    }
    Store(m_vecChr, m_bSorted, id, v);
    return true;
}

void SymQData::Merge(SymQData& dst, SymQData& src) {
    if (&dst == &src) {
        dst.Sort();
        return;
    }
    for (const DblFld& f : src.m_vecDbl) {
        dst.SetFlid(f.m_flid, f.m_value);
    }
    for (const IntFld& f : src.m_vecInt) {
        dst.SetFlid(f.m_flid, f.m_value);
    }
    for (const StrFld& f : src.m_vecStr) {
        dst.SetFlid(f.m_flid, f.m_value);
    }
    for (const ChrFld& f : src.m_vecChr) {
        dst.SetFlid(f.m_flid, f.m_value);
    }
    dst.Sort();
}

std::ostream& operator<<(std::ostream& os, const DblFld& f) {
    return os << " Flid (" << f.m_flid << ") = " << f.m_value;
}

std::ostream& operator<<(std::ostream& os, const IntFld& f) {
    return os << " Flid (" << f.m_flid << ") = " << f.m_value;
}

std::ostream& operator<<(std::ostream& os, const StrFld& f) {
    return os << " Flid (" << f.m_flid << ") = " << f.m_value.c_str();
}

std::ostream& operator<<(std::ostream& os, const ChrFld& f) {
    return os << " Flid (" << f.m_flid << ") = " << f.m_value;
}

std::ostream& operator<<(std::ostream& os, SymQData& q) {
    os << "Tick for : " << q.m_topic.c_str() << "\n";
    for (const DblFld& f : q.m_vecDbl) {
        os << f << "\n";
    }
    for (const IntFld& f : q.m_vecInt) {
        os << f << "\n";
    }
    for (const StrFld& f : q.m_vecStr) {
        os << f << "\n";
    }
    for (const ChrFld& f : q.m_vecChr) {
        os << f << "\n";
    }
    return os;
}
