#include "qrx/marketdata/cob_request.h"

#include "qrx/marketdata/cob_wire.h"

namespace QuorCOB {

bool read_cob(CNetStream& in, stFilter& filter) {
    return in.GetNextField(filter.m_sFilterField, 0) &&
           in.GetNextField(filter.m_sFilterValueLowerBound, 0) &&
           in.GetNextField(filter.m_sFilterValueUpperBound, 0);
}

bool write_cob(CNetStream& out, const stFilter& filter) {
    return out.Append(filter.m_sFilterField) && out.Append(filter.m_sFilterValueLowerBound) &&
           out.Append(filter.m_sFilterValueUpperBound);
}

bool read_cob(CNetStream& in, CCOBRequest& request) {
    int nFilters = 0;
    if (!in.GetNextField(request.m_nId) || !in.GetNextField(request.m_nClosure) ||
        !in.GetNextField(request.m_sTopic, 0) ||
        !cobwire::read_count(in, cobwire::MIN_FILTER, 0, nFilters)) {
        return false;
    }
    return cobwire::read_records(in, nFilters, request.m_vecFilters);
}

bool write_cob(CNetStream& out, const CCOBRequest& request) {
    return out.Append(request.m_nId) && out.Append(request.m_nClosure) &&
           out.Append(request.m_sTopic) && cobwire::write_records(out, request.m_vecFilters);
}

CNetStream& operator<<(CNetStream& out, const stFilter& filter) {
    return cobwire::write_record(out, filter);
}

CNetStream& operator<<(CNetStream& out, const CCOBRequest& request) {
    return cobwire::write_record(out, request);
}

CNetStream& operator>>(CNetStream& in, stFilter& filter) {
    return cobwire::read_record(in, filter);
}

CNetStream& operator>>(CNetStream& in, CCOBRequest& request) {
    return cobwire::read_record(in, request);
}

std::ostream& operator<<(std::ostream& os, const stFilter& filter) {
    return os << "FilterField:" << filter.m_sFilterField.c_str()
              << " FilterValueLowerBound:" << filter.m_sFilterValueLowerBound.c_str()
              << " FilterValueUpperBound:" << filter.m_sFilterValueUpperBound.c_str();
}

std::ostream& operator<<(std::ostream& os, const CCOBRequest& request) {
    os << "ID:" << request.m_nId << " closure:" << request.m_nClosure
       << " topic:" << request.m_sTopic.c_str() << '\n'
       << "Filters:" << '\n';
    for (const stFilter& filter : request.m_vecFilters) {
        os << filter << '\n';
    }
    return os;
}

}  // namespace QuorCOB
