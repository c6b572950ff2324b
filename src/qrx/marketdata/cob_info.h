// The description of one consolidated order book: its legs and the requests it
// serves.
#pragma once

#include <ostream>
#include <set>
#include <vector>

#include "qrx/runtime/growing_str.h"
#include "qrx/wire/net_stream.h"

namespace QuorCOB {

// One leg of a composite instrument: an equity, or an option on an underlying.
struct stLegInfo {
    GrowingStr m_sSymbol;  // the underlying for an option leg
    int m_nExpiry = 0;
    int m_nRatio = 0;
    double m_dblStrikePrice = 0.0;
    char m_cCallPut = 0;
    bool m_bIsBid = false;
    bool m_bIsOption = false;
};

class CCOBInfo {
public:
    int m_nId = -1;
    GrowingStr m_sDescription;
    GrowingStr m_sExchange;
    std::vector<stLegInfo> m_vecLegs;
    std::set<int> m_setIds;  // the requests the book serves
};

// Wire form: int id; text description; text exchange; int n; n legs (text
// symbol, int expiry, int ratio, double strike price, char call/put, bool is
// bid, bool is option); int k; k ids. Legs are appended and ids added to what
// the target holds. The bool forms report the first field that could not be
// read or written; a count the message cannot hold fails the read.
bool read_cob(CNetStream& in, stLegInfo& leg);
bool write_cob(CNetStream& out, const stLegInfo& leg);
bool read_cob(CNetStream& in, CCOBInfo& info);
bool write_cob(CNetStream& out, const CCOBInfo& info);

CNetStream& operator<<(CNetStream& out, const CCOBInfo& info);
// A failed read moves the stream to its end.
CNetStream& operator>>(CNetStream& in, CCOBInfo& info);

std::ostream& operator<<(std::ostream& os, const stLegInfo& leg);
std::ostream& operator<<(std::ostream& os, const CCOBInfo& info);

}  // namespace QuorCOB
