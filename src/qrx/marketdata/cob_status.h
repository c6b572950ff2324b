// The status of an order-book request, sent by the feed handler in runs (one
// record after another until the message body ends).
#pragma once

#include <ostream>

#include "qrx/runtime/growing_str.h"
#include "qrx/wire/net_stream.h"

namespace QuorCOB {

class CCOBStatus {
public:
    int m_nId = -1;  // the request the status is about
    GrowingStr m_sStatus;
};

// Wire form: int id; text status. The bool forms report a field that could not
// be read or written; the reader stops at the first failure.
bool read_cob(CNetStream& in, CCOBStatus& status);
bool write_cob(CNetStream& out, const CCOBStatus& status);

CNetStream& operator<<(CNetStream& out, const CCOBStatus& status);
// A failed read moves the stream to its end (see read_cob for the result).
CNetStream& operator>>(CNetStream& in, CCOBStatus& status);

// "COB Status Message.ID:" id " status is:" status, newline.
std::ostream& operator<<(std::ostream& os, const CCOBStatus& status);

}  // namespace QuorCOB
