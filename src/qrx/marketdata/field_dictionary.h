// The field dictionary: the text names of the 466 named field ids, the keys of
// fields in every text form of a record. Both directions are process-wide maps
// built once, on first use, and read-only afterwards.
#pragma once

#include <map>

#include "qrx/marketdata/sym_data.h"
#include "qrx/runtime/growing_str.h"

class CFieldDictionary {
public:
    // The one dictionary of the process; built on the first call, thread-safely.
    static const CFieldDictionary& Instance();

    // Number of named ids.
    static constexpr int NAMED_COUNT = 466;

    std::map<CSymData::enFlids, GrowingStr> m_mapFlid2Name;
    std::map<GrowingStr, CSymData::enFlids> m_mapName2Flid;

private:
    CFieldDictionary();
};

// Name of a field id. found tells whether the id has a name; when it has not,
// name is left as it was.
void FLID_TO_FIELD(GrowingStr& name, const CSymData::enFlids& id, bool& found);
// Id of a field name (compared byte for byte, case included). found tells
// whether the name is known; when it is not, id is left as it was.
void FIELD_TO_FLID(const GrowingStr& name, CSymData::enFlids& id, bool& found);
// The name of id, or null when it has none: no copy, for print forms.
const char* flid_name(int id);
