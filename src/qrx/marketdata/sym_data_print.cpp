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

// One field: "name=value|".
template <typename V>
void PutField(std::ostream& os, int id, const V& value) {
    PutName(os, id);
    os << "=" << value << "|";
}

void PutField(std::ostream& os, int id, const GrowingStr& value) {
    PutField(os, id, value.c_str());
}

template <typename T>
void PutMap(std::ostream& os, const FlidMap<T>& map) {
    for (auto it = map.begin(); it != map.end(); ++it) {
        PutField(os, it.Id(), it.Value());
    }
}

template <typename Arr>
void PutArray(std::ostream& os, const Arr& arr) {
    for (const auto& f : arr) {
        PutField(os, f.m_flid, f.m_value);
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
    PutArray(os, data.m_vecDbl);
    PutArray(os, data.m_vecInt);
    PutArray(os, data.m_vecStr);
    PutArray(os, data.m_vecChr);
    os << "\n";
}
