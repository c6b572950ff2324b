#include "qrx/marketdata/cob_status.h"

#include "qrx/marketdata/cob_wire.h"

namespace QuorCOB {

bool read_cob(CNetStream& in, CCOBStatus& status) {
    return in.GetNextField(status.m_nId) && in.GetNextField(status.m_sStatus, 0);
}

bool write_cob(CNetStream& out, const CCOBStatus& status) {
    return out.Append(status.m_nId) && out.Append(status.m_sStatus);
}

CNetStream& operator<<(CNetStream& out, const CCOBStatus& status) {
    return cobwire::write_record(out, status);
}

CNetStream& operator>>(CNetStream& in, CCOBStatus& status) {
    return cobwire::read_record(in, status);
}

std::ostream& operator<<(std::ostream& os, const CCOBStatus& status) {
    return os << "COB Status Message.ID:" << status.m_nId
              << " status is:" << status.m_sStatus.c_str() << '\n';
}

}  // namespace QuorCOB
