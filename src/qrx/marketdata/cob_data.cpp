#include "qrx/marketdata/cob_data.h"

#include <memory>
#include <utility>

#include "qrx/marketdata/cob_wire.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace QuorCOB {

namespace {

// What the field getters hand back: the value of a numeric entry, the text of
// a string entry (when the caller wants it).
template <typename V>
struct StoreValue {
    V& value;
    template <typename Fld>
    void operator()(const Fld& f) const {
        value = f.m_value;
    }
};

struct StoreText {
    const char** szValue;
    void operator()(const StrFld& f) const {
        if (szValue != nullptr) {
            *szValue = f.m_value.c_str();
        }
    }
};

}  // namespace

CCOBData::CCOBData() : m_itAuxData(m_setAuxData.end()) {}

CCOBData::CCOBData(const CCOBData& other) : m_itAuxData(m_setAuxData.end()) {
    CopyQuote(other);
    m_setIds = other.m_setIds;
    for (const SymQData* q : other.m_setAuxData) {
        AddAuxData(new SymQData(*q));
    }
}

CCOBData::CCOBData(CCOBData&& other) noexcept
    : m_setIds(std::move(other.m_setIds)),
      m_setAuxData(std::move(other.m_setAuxData)),
      m_itAuxData(m_setAuxData.end()) {
    CopyQuote(other);
    other.m_setAuxData.clear();
    other.EndAuxWalk();
}

CCOBData& CCOBData::operator=(const CCOBData& other) {
    if (&other != this) {
        CopyQuote(other);
        m_setIds = other.m_setIds;
        ClearAuxData();
        for (const SymQData* q : other.m_setAuxData) {
            AddAuxData(new SymQData(*q));
        }
    }
    EndAuxWalk();
    return *this;
}

CCOBData& CCOBData::operator=(CCOBData&& other) noexcept {
    if (&other != this) {
        CopyQuote(other);
        m_setIds = std::move(other.m_setIds);
        ClearAuxData();
        m_setAuxData.swap(other.m_setAuxData);
        other.EndAuxWalk();
    }
    EndAuxWalk();
    return *this;
}

void CCOBData::CopyQuote(const CCOBData& other) {
    m_nId = other.m_nId;
    m_dblBidPrice = other.m_dblBidPrice;
    m_dblAskPrice = other.m_dblAskPrice;
    m_nBidSize = other.m_nBidSize;
    m_nAskSize = other.m_nAskSize;
}

CCOBData::~CCOBData() {
    ClearAuxData();
}

bool CCOBData::AddAuxData(SymQData* q) {
    if (q == nullptr) {
        return false;
    }
    const auto added = m_setAuxData.insert(q);
    if (!added.second) {
        // The same object handed over again is ours already: it stays.
        if (*added.first != q) {
            delete q;
        }
        return false;
    }
    return true;
}

void CCOBData::ClearAuxData() {
    for (SymQData* q : m_setAuxData) {
        delete q;
    }
    m_setAuxData.clear();
    EndAuxWalk();
}

void CCOBData::EndAuxWalk() {
    m_itAuxData = m_setAuxData.end();
    m_nDblPos = m_nIntPos = m_nChrPos = m_nStrPos = 0;
    m_bAuxIterating = false;
}

void CCOBData::NextLeg() {
    ++m_itAuxData;
    m_nDblPos = m_nIntPos = m_nChrPos = m_nStrPos = 0;
}

bool CCOBData::ResetAuxIterators() {
    EndAuxWalk();
    m_itAuxData = m_setAuxData.begin();
    m_bAuxIterating = m_itAuxData != m_setAuxData.end();
    return m_bAuxIterating;
}

template <typename Arr, typename Store>
bool CCOBData::GetAt(Arr SymQData::*arr, size_t pos, const char** szLeg, int& nFlid, Store store) {
    if (!m_bAuxIterating || m_itAuxData == m_setAuxData.end()) {
        return false;
    }
    const SymQData& leg = **m_itAuxData;
    const Arr& entries = leg.*arr;
    if (pos >= entries.Size()) {
        return false;
    }
    if (szLeg != nullptr) {
        *szLeg = leg.m_topic.c_str();
    }
    nFlid = entries[pos].m_flid;
    store(entries[pos]);
    return true;
}

template <typename Arr, typename Store>
bool CCOBData::Next(Arr SymQData::*arr, size_t& pos, const char** szLeg, int& nFlid, Store store) {
    if (!m_bAuxIterating && !ResetAuxIterators()) {
        return false;
    }
    while (m_itAuxData != m_setAuxData.end()) {
        if (GetAt(arr, pos, szLeg, nFlid, store)) {
            ++pos;
            return true;
        }
        NextLeg();
    }
    EndAuxWalk();
    return false;
}

bool CCOBData::GetDblField(const char** szLeg, int& nFlid, double& dblValue) {
    return GetAt(&SymQData::m_vecDbl, m_nDblPos, szLeg, nFlid, StoreValue<double>{dblValue});
}

bool CCOBData::GetIntField(const char** szLeg, int& nFlid, int& nValue) {
    return GetAt(&SymQData::m_vecInt, m_nIntPos, szLeg, nFlid, StoreValue<int>{nValue});
}

bool CCOBData::GetChrField(const char** szLeg, int& nFlid, char& cValue) {
    return GetAt(&SymQData::m_vecChr, m_nChrPos, szLeg, nFlid, StoreValue<char>{cValue});
}

bool CCOBData::GetStrField(const char** szLeg, int& nFlid, const char** szValue) {
    return GetAt(&SymQData::m_vecStr, m_nStrPos, szLeg, nFlid, StoreText{szValue});
}

bool CCOBData::GetNextDblAuxField(const char** szLeg, int& nFlid, double& dblValue) {
    return Next(&SymQData::m_vecDbl, m_nDblPos, szLeg, nFlid, StoreValue<double>{dblValue});
}

bool CCOBData::GetNextIntAuxField(const char** szLeg, int& nFlid, int& nValue) {
    return Next(&SymQData::m_vecInt, m_nIntPos, szLeg, nFlid, StoreValue<int>{nValue});
}

bool CCOBData::GetNextChrAuxField(const char** szLeg, int& nFlid, char& cValue) {
    return Next(&SymQData::m_vecChr, m_nChrPos, szLeg, nFlid, StoreValue<char>{cValue});
}

bool CCOBData::GetNextStrAuxField(const char** szLeg, int& nFlid, const char** szValue) {
    return Next(&SymQData::m_vecStr, m_nStrPos, szLeg, nFlid, StoreText{szValue});
}

bool read_cob(CNetStream& in, CCOBData& data) {
    int nAux = 0;
    // The auxiliary bodies are followed by at least the id count.
    if (!in.GetNextField(data.m_nId) || !in.GetNextField(data.m_dblBidPrice) ||
        !in.GetNextField(data.m_dblAskPrice) || !in.GetNextField(data.m_nBidSize) ||
        !in.GetNextField(data.m_nAskSize) ||
        !cobwire::read_count(in, cobwire::MIN_AUX_BODY, cobwire::MIN_ID, nAux)) {
        return false;
    }
    // An entry whose topic is already held is dropped; its object is reused
    // for the next body.
    std::unique_ptr<SymQData> spare;
    for (int i = 0; i < nAux; ++i) {
        if (!spare) {
            spare.reset(new SymQData);
        }
        if (!CSymDataAux::SerializeSymIn(*spare, in, nullptr, false, nullptr)) {
            return false;
        }
        if (data.m_setAuxData.insert(spare.get()).second) {
            spare.release();
        }
    }
    return cobwire::read_ids(in, data.m_setIds);
}

bool write_cob(CNetStream& out, const CCOBData& data) {
    int nAux = 0;
    for (const SymQData* q : data.m_setAuxData) {
        nAux += CSymDataAux::HasSymBody(*q) ? 1 : 0;
    }
    if (!out.Append(data.m_nId) || !out.Append(data.m_dblBidPrice) ||
        !out.Append(data.m_dblAskPrice) || !out.Append(data.m_nBidSize) ||
        !out.Append(data.m_nAskSize) || !out.Append(nAux)) {
        return false;
    }
    for (SymQData* q : data.m_setAuxData) {
        if (!CSymDataAux::HasSymBody(*q)) {
            continue;
        }
        // The body leaves out a topic text longer than a reader takes, and the
        // reader would then file the leg's values under an empty topic.
        if (q->m_topic.length() > CSymDataAux::MAX_BODY_STRING) {
            return false;
        }
        const int before = out.GetWriteOffset();
        if (!CSymDataAux::SerializeSymOut(*q, out, nullptr, nullptr) ||
            out.GetWriteOffset() == before) {
            return false;
        }
    }
    return cobwire::write_ids(out, data.m_setIds);
}

CNetStream& operator<<(CNetStream& out, const CCOBData& data) {
    return cobwire::write_record(out, data);
}

CNetStream& operator>>(CNetStream& in, CCOBData& data) {
    return cobwire::read_record(in, data);
}

std::ostream& operator<<(std::ostream& os, const CCOBData& data) {
    os << "COB ID:" << data.m_nId << " BidPrice:" << data.m_dblBidPrice
       << " BidSize:" << data.m_nBidSize << " AskPrice:" << data.m_dblAskPrice
       << " AskSize:" << data.m_nAskSize << '\n'
       << "Auxiliary data:" << '\n';
    for (SymQData* q : data.m_setAuxData) {
        os << *q << '\n';
    }
    os << "Data UUIDs:";
    cobwire::print_ids(os, data.m_setIds);
    return os << '\n';
}

}  // namespace QuorCOB
