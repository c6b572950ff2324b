// The current data of one consolidated order book: best bid and ask, the
// requests it serves and, per leg, auxiliary market data held as SymQData
// entries keyed by the leg's topic, with a cursor that walks them leg by leg.
#pragma once

#include <cstddef>
#include <cstring>
#include <ostream>
#include <set>

#include "qrx/marketdata/sym_q_data.h"
#include "qrx/wire/net_stream.h"

namespace QuorCOB {

// Orders auxiliary entries by their topic text, byte-wise.
struct predQData {
    bool operator()(const SymQData* a, const SymQData* b) const {
        return strcmp(a->m_topic.c_str(), b->m_topic.c_str()) < 0;
    }
};

class CCOBData {
public:
    typedef std::set<SymQData*, predQData> AuxDataSet;

    static constexpr double NO_PRICE = -999999999.0;

    CCOBData();
    // Deep copies of the auxiliary entries; the cursor of the copy is idle.
    CCOBData(const CCOBData& other);
    CCOBData(CCOBData&& other) noexcept;
    // Makes this a copy of other: its own auxiliary entries are deleted first,
    // then deep copies of other's are added. Ends any walk under way.
    CCOBData& operator=(const CCOBData& other);
    CCOBData& operator=(CCOBData&& other) noexcept;
    ~CCOBData();

    // Takes ownership of q and adds it, unless an entry with the same topic is
    // already there: q is then deleted (unless it is that entry) and the result is false.
    bool AddAuxData(SymQData* q);
    // Deletes every auxiliary entry and ends any walk under way.
    void ClearAuxData();

    // ---- auxiliary data, leg by leg ----
    // Puts the cursor on the first leg; false when there is none.
    bool ResetAuxIterators();
    // The entry of the type at the cursor, without moving; false at the end of
    // the current leg's array or when no walk is under way. szLeg (when not
    // null) receives the leg's topic, valid while the entry lives.
    bool GetDblField(const char** szLeg, int& nFlid, double& dblValue);
    bool GetIntField(const char** szLeg, int& nFlid, int& nValue);
    bool GetChrField(const char** szLeg, int& nFlid, char& cValue);
    bool GetStrField(const char** szLeg, int& nFlid, const char** szValue);
    // The next entry of the type over all legs in topic order; false once the
    // legs are exhausted, and the following call starts again at the first leg.
    // The four walks share the leg cursor: run one to its end before starting
    // another. Moving to the next leg puts all four positions at that leg's
    // start, so a walk interleaved with another goes on from the current leg.
    bool GetNextDblAuxField(const char** szLeg, int& nFlid, double& dblValue);
    bool GetNextIntAuxField(const char** szLeg, int& nFlid, int& nValue);
    bool GetNextChrAuxField(const char** szLeg, int& nFlid, char& cValue);
    bool GetNextStrAuxField(const char** szLeg, int& nFlid, const char** szValue);

    int m_nId = -1;
    double m_dblBidPrice = NO_PRICE;
    double m_dblAskPrice = NO_PRICE;
    int m_nBidSize = 0;
    int m_nAskSize = 0;
    std::set<int> m_setIds;  // the requests the data serves
    // Owned entries, one per leg. Changing the set during a walk needs a
    // ResetAuxIterators before the walk goes on.
    AuxDataSet m_setAuxData;

private:
    // The id, prices and sizes.
    void CopyQuote(const CCOBData& other);
    void EndAuxWalk();
    void NextLeg();
    template <typename Arr, typename Store>
    bool GetAt(Arr SymQData::*arr, size_t pos, const char** szLeg, int& nFlid, Store store);
    template <typename Arr, typename Store>
    bool Next(Arr SymQData::*arr, size_t& pos, const char** szLeg, int& nFlid, Store store);

    AuxDataSet::iterator m_itAuxData;
    size_t m_nDblPos = 0;
    size_t m_nIntPos = 0;
    size_t m_nChrPos = 0;
    size_t m_nStrPos = 0;
    bool m_bAuxIterating = false;
};

// Wire form: int id; double bid price; double ask price; int bid size; int ask
// size; int a; a record bodies of SymQData; int k; k ids. The writer sends only
// the auxiliary entries that hold a field besides symbol and topic (the record
// body of any other would be empty, and the reader would lose its place), and
// fails on one whose topic is longer than a record body carries; the reader
// keeps the first entry of each topic. The bool forms report the first
// field that could not be read or written; a count the message cannot hold
// fails the read.
bool read_cob(CNetStream& in, CCOBData& data);
bool write_cob(CNetStream& out, const CCOBData& data);

CNetStream& operator<<(CNetStream& out, const CCOBData& data);
// A failed read moves the stream to its end.
CNetStream& operator>>(CNetStream& in, CCOBData& data);

std::ostream& operator<<(std::ostream& os, const CCOBData& data);

}  // namespace QuorCOB
