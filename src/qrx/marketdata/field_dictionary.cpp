#include "qrx/marketdata/field_dictionary.h"

namespace {

struct NamedFlid {
    const char* name;
    int id;
};

const NamedFlid kNamedFlids[] = {
#define QRX_FLID(name, id) {#name, id},
#define QRX_FLID_UNNAMED(name, id)
#include "qrx/marketdata/flid_table.h"
#undef QRX_FLID
#undef QRX_FLID_UNNAMED
};

static_assert(sizeof kNamedFlids / sizeof kNamedFlids[0] == CFieldDictionary::NAMED_COUNT,
              "the dictionary names 466 ids");

// Names by id, for the print forms: one entry per id, null for an unnamed id.
struct NameIndex {
    const char* names[CSymData::MAX_FLIDS] = {};
    NameIndex() {
        for (const NamedFlid& f : kNamedFlids) {
            names[f.id] = f.name;
        }
    }
};

const NameIndex& Names() {
    static const NameIndex index;
    return index;
}

}  // namespace

CFieldDictionary::CFieldDictionary() {
    for (const NamedFlid& f : kNamedFlids) {
        const CSymData::enFlids id = static_cast<CSymData::enFlids>(f.id);
        m_mapFlid2Name.emplace(id, GrowingStr(f.name));
        m_mapName2Flid.emplace(GrowingStr(f.name), id);
    }
}

const CFieldDictionary& CFieldDictionary::Instance() {
    // Initialisation of a function-local static runs once, even when several
    // threads make their first lookup together.
    static const CFieldDictionary dictionary;
    return dictionary;
}

void FLID_TO_FIELD(GrowingStr& name, const CSymData::enFlids& id, bool& found) {
    const auto& map = CFieldDictionary::Instance().m_mapFlid2Name;
    const auto it = map.find(id);
    found = it != map.end();
    if (found) {
        name = it->second;
    }
}

void FIELD_TO_FLID(const GrowingStr& name, CSymData::enFlids& id, bool& found) {
    const auto& map = CFieldDictionary::Instance().m_mapName2Flid;
    const auto it = map.find(name);
    found = it != map.end();
    if (found) {
        id = it->second;
    }
}

const char* flid_name(int id) {
    if (id < 0 || id >= CSymData::MAX_FLIDS) {
        return nullptr;
    }
    return Names().names[id];
}
