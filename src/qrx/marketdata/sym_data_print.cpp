// Print forms of records: "name=value|" per present field, for logs and tools.
#include <ostream>

#include "qrx/marketdata/field_dictionary.h"
#include "qrx/marketdata/sym_data_aux.h"

namespace {

// The dictionary name of id, or its decimal id when it has none.
void PutName(std::ostream& os, int id) {
    const char* name = flid_name(id);
    if (name != nullptr) {
        os << name;
    } else {
        os << id;
    }
}

template <typename T>
void PutMap(std::ostream& os, const FlidMap<T>& map) {
    for (auto it = map.begin(); it != map.end(); ++it) {
        PutName(os, it.Id());
        os << "=" << it.Value() << "|";
    }
}

template <>
void PutMap<GrowingStr>(std::ostream& os, const FlidMap<GrowingStr>& map) {
    for (auto it = map.begin(); it != map.end(); ++it) {
        PutName(os, it.Id());
        os << "=" << it.Value().c_str() << "|";
    }
}

}  // namespace

void CSymDataAux::Print(std::ostream& os, CSymData& data) {
    os << "TOPIC=" << data.m_topic.c_str() << "|"
       << "SYMBOL=" << data.m_symbol.c_str() << "|";
    PutMap(os, data.m_map_flid_2_double);
    PutMap(os, data.m_map_flid_2_int);
    PutMap(os, data.m_map_flid_2_GrowingStr);
    PutMap(os, data.m_map_flid_2_char);
    os << "\n";
}

void CSymDataAux::Print(std::ostream& os, SymQData& data) {
    os << "TOPIC=" << data.m_topic.c_str() << "|";
    for (const DblFld& f : data.m_vecDbl) {
        PutName(os, f.m_flid);
        os << "=" << f.m_value << "|";
    }
    for (const IntFld& f : data.m_vecInt) {
        PutName(os, f.m_flid);
        os << "=" << f.m_value << "|";
    }
    for (const StrFld& f : data.m_vecStr) {
        PutName(os, f.m_flid);
        os << "=" << f.m_value.c_str() << "|";
    }
    for (const ChrFld& f : data.m_vecChr) {
        PutName(os, f.m_flid);
        os << "=" << f.m_value << "|";
    }
    os << "\n";
}
