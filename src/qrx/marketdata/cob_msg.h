// A run of consolidated order books under one equity underlying, as a snapshot
// or an update: the books' descriptions and their current data, keyed by book
// id, and the requests the message serves.
#pragma once

#include <map>
#include <ostream>
#include <set>

#include "qrx/marketdata/cob_data.h"
#include "qrx/marketdata/cob_info.h"
#include "qrx/runtime/growing_str.h"
#include "qrx/wire/net_stream.h"

namespace QuorCOB {

class CCOBMsg {
public:
    enum enCOBMsgType : int {
        COB_MSG_TYPE_INVALID = 0,
        COB_MSG_TYPE_SNAPSHOT = 1,
        COB_MSG_TYPE_UPDATE = 2,
    };
    typedef std::map<int, CCOBInfo> InfoMap;
    typedef std::map<int, CCOBData> DataMap;

    CCOBMsg();
    CCOBMsg(const CCOBMsg& other);
    CCOBMsg& operator=(const CCOBMsg& other);
    ~CCOBMsg() = default;

    InfoMap m_mapInfo;
    DataMap m_mapData;
    GrowingStr m_sUnderlying;
    // Positions in the two maps, used while the message is written or printed.
    mutable InfoMap::const_iterator m_itInfo;
    mutable DataMap::const_iterator m_itData;
    std::set<int> m_setIds;  // the requests the message serves
    enCOBMsgType m_eMsgType = COB_MSG_TYPE_INVALID;
};

// Wire form: text underlying; int message type; int i; int d; i infos and d
// data in increasing id order; int k; k ids. The reader adds to what the
// message holds: an info or data with an id of 0 or less is read and dropped,
// and one whose id is already held is dropped (the first stays). The bool
// forms report the first field that could not be read or written; a count the
// message cannot hold fails the read.
bool read_cob(CNetStream& in, CCOBMsg& msg);
bool write_cob(CNetStream& out, const CCOBMsg& msg);

CNetStream& operator<<(CNetStream& out, const CCOBMsg& msg);
// A failed read moves the stream to its end.
CNetStream& operator>>(CNetStream& in, CCOBMsg& msg);

std::ostream& operator<<(std::ostream& os, const CCOBMsg& msg);

}  // namespace QuorCOB
