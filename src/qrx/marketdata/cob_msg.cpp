#include "qrx/marketdata/cob_msg.h"

#include <utility>

#include "qrx/marketdata/cob_wire.h"

namespace QuorCOB {

CCOBMsg::CCOBMsg() : m_itInfo(m_mapInfo.end()), m_itData(m_mapData.end()) {}

CCOBMsg::CCOBMsg(const CCOBMsg& other)
    : m_mapInfo(other.m_mapInfo),
      m_mapData(other.m_mapData),
      m_sUnderlying(other.m_sUnderlying),
      m_itInfo(m_mapInfo.end()),
      m_itData(m_mapData.end()),
      m_setIds(other.m_setIds),
      m_eMsgType(other.m_eMsgType) {}

CCOBMsg& CCOBMsg::operator=(const CCOBMsg& other) {
    if (&other != this) {
        m_mapInfo = other.m_mapInfo;
        m_mapData = other.m_mapData;
        m_sUnderlying = other.m_sUnderlying;
        m_setIds = other.m_setIds;
        m_eMsgType = other.m_eMsgType;
    }
    m_itInfo = m_mapInfo.end();
    m_itData = m_mapData.end();
    return *this;
}

bool read_cob(CNetStream& in, CCOBMsg& msg) {
    int nType = 0;
    int nInfos = 0;
    int nData = 0;
    if (!in.GetNextField(msg.m_sUnderlying, 0) || !in.GetNextField(nType)) {
        return false;
    }
    msg.m_eMsgType = static_cast<CCOBMsg::enCOBMsgType>(nType);
    if (!in.GetNextField(nInfos) || !in.GetNextField(nData)) {
        return false;
    }
    nInfos = nInfos < 0 ? 0 : nInfos;
    nData = nData < 0 ? 0 : nData;
    // Both runs and the id count behind them must fit in what remains.
    const int64_t need = static_cast<int64_t>(nInfos) * cobwire::MIN_INFO +
                         static_cast<int64_t>(nData) * cobwire::MIN_DATA + cobwire::MIN_ID;
    if (need > in.GetRemaining()) {
        return false;
    }
    for (int i = 0; i < nInfos; ++i) {
        CCOBInfo info;
        if (!read_cob(in, info)) {
            return false;
        }
        if (info.m_nId > 0) {
            msg.m_mapInfo.try_emplace(info.m_nId, std::move(info));
        }
    }
    for (int i = 0; i < nData; ++i) {
        CCOBData data;
        if (!read_cob(in, data)) {
            return false;
        }
        if (data.m_nId > 0) {
            msg.m_mapData.try_emplace(data.m_nId, std::move(data));
        }
    }
    return cobwire::read_ids(in, msg.m_setIds);
}

bool write_cob(CNetStream& out, const CCOBMsg& msg) {
    if (!out.Append(msg.m_sUnderlying) || !out.Append(static_cast<int>(msg.m_eMsgType)) ||
        !cobwire::write_count(out, msg.m_mapInfo) || !cobwire::write_count(out, msg.m_mapData)) {
        return false;
    }
    for (msg.m_itInfo = msg.m_mapInfo.begin(); msg.m_itInfo != msg.m_mapInfo.end();
         ++msg.m_itInfo) {
        if (!write_cob(out, msg.m_itInfo->second)) {
            return false;
        }
    }
    for (msg.m_itData = msg.m_mapData.begin(); msg.m_itData != msg.m_mapData.end();
         ++msg.m_itData) {
        if (!write_cob(out, msg.m_itData->second)) {
            return false;
        }
    }
    return cobwire::write_ids(out, msg.m_setIds);
}

CNetStream& operator<<(CNetStream& out, const CCOBMsg& msg) {
    return cobwire::write_record(out, msg);
}

CNetStream& operator>>(CNetStream& in, CCOBMsg& msg) {
    return cobwire::read_record(in, msg);
}

std::ostream& operator<<(std::ostream& os, const CCOBMsg& msg) {
    os << "Equity Underlying:" << msg.m_sUnderlying.c_str()
       << " Msg Type:" << static_cast<int>(msg.m_eMsgType) << '\n';
    for (msg.m_itInfo = msg.m_mapInfo.begin(); msg.m_itInfo != msg.m_mapInfo.end();
         ++msg.m_itInfo) {
        os << msg.m_itInfo->second;
    }
    for (msg.m_itData = msg.m_mapData.begin(); msg.m_itData != msg.m_mapData.end();
         ++msg.m_itData) {
        os << msg.m_itData->second;
    }
    os << "COB Msg UUIDs:";
    cobwire::print_ids(os, msg.m_setIds);
    return os << '\n';
}

}  // namespace QuorCOB
