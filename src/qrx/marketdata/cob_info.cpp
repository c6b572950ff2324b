#include "qrx/marketdata/cob_info.h"

#include "qrx/marketdata/cob_wire.h"

namespace QuorCOB {

bool read_cob(CNetStream& in, stLegInfo& leg) {
    return in.GetNextField(leg.m_sSymbol, 0) && in.GetNextField(leg.m_nExpiry) &&
           in.GetNextField(leg.m_nRatio) && in.GetNextField(leg.m_dblStrikePrice) &&
           in.GetNextField(leg.m_cCallPut) && in.GetNextField(leg.m_bIsBid) &&
           in.GetNextField(leg.m_bIsOption);
}

bool write_cob(CNetStream& out, const stLegInfo& leg) {
    return out.Append(leg.m_sSymbol) && out.Append(leg.m_nExpiry) && out.Append(leg.m_nRatio) &&
           out.Append(leg.m_dblStrikePrice) && out.Append(leg.m_cCallPut) &&
           out.Append(leg.m_bIsBid) && out.Append(leg.m_bIsOption);
}

bool read_cob(CNetStream& in, CCOBInfo& info) {
    int nLegs = 0;
    // The legs are followed by at least the id count.
    if (!in.GetNextField(info.m_nId) || !in.GetNextField(info.m_sDescription, 0) ||
        !in.GetNextField(info.m_sExchange, 0) ||
        !cobwire::read_count(in, cobwire::MIN_LEG, cobwire::MIN_ID, nLegs)) {
        return false;
    }
    return cobwire::read_records(in, nLegs, info.m_vecLegs) && cobwire::read_ids(in, info.m_setIds);
}

bool write_cob(CNetStream& out, const CCOBInfo& info) {
    return out.Append(info.m_nId) && out.Append(info.m_sDescription) &&
           out.Append(info.m_sExchange) && cobwire::write_records(out, info.m_vecLegs) &&
           cobwire::write_ids(out, info.m_setIds);
}

CNetStream& operator<<(CNetStream& out, const CCOBInfo& info) {
    return cobwire::write_record(out, info);
}

CNetStream& operator>>(CNetStream& in, CCOBInfo& info) {
    return cobwire::read_record(in, info);
}

std::ostream& operator<<(std::ostream& os, const stLegInfo& leg) {
    if (!leg.m_bIsOption) {
        return os << "Equity:" << leg.m_sSymbol.c_str() << " IsOption:" << 0;
    }
    return os << "Option Underlying:" << leg.m_sSymbol.c_str() << " expiry:" << leg.m_nExpiry
              << " ratio:" << leg.m_nRatio << " strike price:" << leg.m_dblStrikePrice
              << " Call/Put:" << leg.m_cCallPut << " isbid:" << (leg.m_bIsBid ? 1 : 0)
              << " IsOption:" << 1;
}

std::ostream& operator<<(std::ostream& os, const CCOBInfo& info) {
    os << "COB ID:" << info.m_nId << " Description:" << info.m_sDescription.c_str()
       << " Exchange:" << info.m_sExchange.c_str() << '\n';
    for (size_t i = 0; i < info.m_vecLegs.size(); ++i) {
        os << "Leg[" << i << "]:" << '\n' << info.m_vecLegs[i] << '\n';
    }
    os << "Info UUIDs:";
    cobwire::print_ids(os, info.m_setIds);
    return os << '\n';
}

}  // namespace QuorCOB
