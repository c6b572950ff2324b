// A request for consolidated order books: sent by a client to subscribe or
// unsubscribe, and by the feed handler to ask the client to create a book.
#pragma once

#include <ostream>
#include <vector>

#include "qrx/runtime/growing_str.h"
#include "qrx/wire/net_stream.h"

namespace QuorCOB {

// A field name and the bounds of its value.
struct stFilter {
    GrowingStr m_sFilterField;
    GrowingStr m_sFilterValueLowerBound;
    GrowingStr m_sFilterValueUpperBound;
};

class CCOBRequest {
public:
    int m_nId = -1;
    int m_nClosure = -1;
    GrowingStr m_sTopic;
    std::vector<stFilter> m_vecFilters;
};

// Wire forms. stFilter: three texts. CCOBRequest: int id; int closure; text
// topic; int n; n filters (appended to m_vecFilters; the target is not
// cleared). The bool forms report the first field that could not be read or
// written; a filter count the message cannot hold fails the read.
bool read_cob(CNetStream& in, stFilter& filter);
bool write_cob(CNetStream& out, const stFilter& filter);
bool read_cob(CNetStream& in, CCOBRequest& request);
bool write_cob(CNetStream& out, const CCOBRequest& request);

CNetStream& operator<<(CNetStream& out, const stFilter& filter);
CNetStream& operator<<(CNetStream& out, const CCOBRequest& request);
// A failed read moves the stream to its end.
CNetStream& operator>>(CNetStream& in, stFilter& filter);
CNetStream& operator>>(CNetStream& in, CCOBRequest& request);

std::ostream& operator<<(std::ostream& os, const stFilter& filter);
std::ostream& operator<<(std::ostream& os, const CCOBRequest& request);

}  // namespace QuorCOB
