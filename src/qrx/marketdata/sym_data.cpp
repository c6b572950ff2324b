#include "qrx/marketdata/sym_data.h"

namespace {

// Gives a named field's slot storage of its own, writes its construction value
// and returns the reference to bind.
template <typename T>
const T& BindReference(FlidMap<T>& map, int id) {
    T& ref = map.CreateReference(id);
    map.InitialiseReference(static_cast<unsigned>(FlidMap<T>::TableOffset(id)), id);
    return ref;
}

}  // namespace

// ---- UnionFlidSet ----

UnionFlidSet::iterator::iterator(const UnionFlidSet& set) {
    m_set[0] = set.m_doubleMap->PresenceMasks();
    m_set[1] = set.m_intMap->PresenceMasks();
    m_set[2] = set.m_stringMap->PresenceMasks();
    m_set[3] = set.m_charMap->PresenceMasks();
    Reset();
}

void UnionFlidSet::iterator::Reset() {
    m_workingSet = 0;
    m_index = 0;
    m_offset = -1;
    ++*this;
}

UnionFlidSet::iterator& UnionFlidSet::iterator::operator++() {
    if (m_set[0] == nullptr) {
        SetEnd();
        return *this;
    }
    while (m_workingSet < 4) {
        const unsigned short* masks = m_set[m_workingSet];
        while (m_index < 32) {
            const unsigned next = static_cast<unsigned>(m_offset + 1);
            const unsigned rest =
                next >= 16 ? 0u : (static_cast<unsigned>(masks[m_index]) >> next) << next;
            if (rest != 0) {
                m_offset = __builtin_ctz(rest);
                return *this;
            }
            ++m_index;
            m_offset = -1;
        }
        ++m_workingSet;
        m_index = 0;
    }
    SetEnd();
    return *this;
}

UnionFlidSet::iterator UnionFlidSet::find(unsigned id) const {
    if (!(*this)[id]) {
        return end();
    }
    iterator it(*this);
    it.m_workingSet = static_cast<int>(id >> 9);
    it.m_index = static_cast<int>((id >> 4) & 31);
    it.m_offset = static_cast<int>(id & 15);
    return it;
}

bool UnionFlidSet::operator[](unsigned id) const {
    const int n = static_cast<int>(id);
    switch (id >> 9) {
        case 0:
            return m_doubleMap->IsPresent(n);
        case 1:
            return m_intMap->IsPresent(n);
        case 2:
            return m_stringMap->IsPresent(n);
        case 3:
            return m_charMap->IsPresent(n);
        default:
            return false;
    }
}

size_t UnionFlidSet::erase(unsigned id) {
    const int n = static_cast<int>(id);
    switch (id >> 9) {
        case 0:
            return m_doubleMap->erase(n);
        case 1:
            return m_intMap->erase(n);
        case 2:
            return m_stringMap->erase(n);
        case 3:
            return m_charMap->erase(n);
        default:
            return 0;
    }
}

UnionFlidSet::iterator UnionFlidSet::erase(iterator it) {
    if (it == end()) {
        return it;
    }
    erase(static_cast<unsigned>(*it));
    // The iterator reads the live masks: searching on from its position finds
    // the next present id.
    ++it;
    return it;
}

size_t UnionFlidSet::size() const {
    return m_doubleMap->size() + m_intMap->size() + m_stringMap->size() + m_charMap->size();
}

// ---- CSymData ----

#define QRX_SYMDATA_BIND_REF(T, map, name) , m_##name(BindReference(map, flid_##name))

CSymData::CSymData()
    : m_setFlids(&m_map_flid_2_double, &m_map_flid_2_int, &m_map_flid_2_GrowingStr,
                 &m_map_flid_2_char) QRX_SYMDATA_NAMED_FIELDS(QRX_SYMDATA_BIND_REF) {}

CSymData::CSymData(const CSymData& other) : CSymData() {
    insert(other);
}

#undef QRX_SYMDATA_BIND_REF

CSymData& CSymData::operator=(const CSymData& other) {
    if (this != &other) {
        clear();
        insert(other);
    }
    return *this;
}

void CSymData::clear() {
    m_map_flid_2_double.clear();
    m_map_flid_2_int.clear();
    m_map_flid_2_GrowingStr.clear();
    m_map_flid_2_char.clear();
}

void CSymData::insert(const CSymData& other) {
    m_map_flid_2_double.insert(other.m_map_flid_2_double);
    m_map_flid_2_int.insert(other.m_map_flid_2_int);
    m_map_flid_2_GrowingStr.insert(other.m_map_flid_2_GrowingStr);
    m_map_flid_2_char.insert(other.m_map_flid_2_char);
}

bool CSymData::operator==(const CSymData& other) const {
    return m_map_flid_2_double == other.m_map_flid_2_double &&
           m_map_flid_2_int == other.m_map_flid_2_int &&
           m_map_flid_2_GrowingStr == other.m_map_flid_2_GrowingStr &&
           m_map_flid_2_char == other.m_map_flid_2_char;
}
