#include "qrx/marketdata/sym_data_aux.h"

#include "qrx/marketdata/field_dictionary.h"

// ---- records ----

void CSymDataAux::Copy(CSymData& to, const CSymData& from, bool bClear) {
    if (&to == &from) {
        return;
    }
    if (bClear) {
        to.clear();
    }
    to.insert(from);
}

bool CSymDataAux::AreEqual(const CSymData& a, const CSymData& b) {
    return a == b;
}

// ---- dictionary ----

void CSymDataAux::FlidToField(GrowingStr& name, const CSymData::enFlids& id, bool& found) {
    FLID_TO_FIELD(name, id, found);
}

void CSymDataAux::FieldToFlid(const char* name, CSymData::enFlids& id, bool& found) {
    const GrowingStr key(name);
    FIELD_TO_FLID(key, id, found);
}

bool CSymDataAux::GetFlidValueDouble(const CSymData& data, int id, double& value, bool& found) {
    found = data.GetFlidDouble(id, value);
    return found;
}

bool CSymDataAux::GetFlidValueInt(const CSymData& data, int id, int& value, bool& found) {
    found = data.GetFlidInt(id, value);
    return found;
}

bool CSymDataAux::GetFlidValueString(const CSymData& data, int id, GrowingStr& value, bool& found) {
    found = data.GetFlidString(id, value);
    return found;
}

bool CSymDataAux::GetFlidValueChar(const CSymData& data, int id, char& value, bool& found) {
    found = data.GetFlidChar(id, value);
    return found;
}

bool CSymDataAux::AddFlidValueString(CSymData& data, int id, const GrowingStr& value, bool& found) {
    found = data.SetFlidString(id, value);
    return found;
}

// ---- conversions ----

void CSymDataAux::AppendEntry(SymQData& q, short id, const double& v) {
    SymQData::AppendFld(q.m_vecDbl, id, v);
}

void CSymDataAux::AppendEntry(SymQData& q, short id, const int& v) {
    SymQData::AppendFld(q.m_vecInt, id, v);
}

void CSymDataAux::AppendEntry(SymQData& q, short id, const GrowingStr& v) {
    SymQData::AppendFld(q.m_vecStr, id, v);
}

void CSymDataAux::AppendEntry(SymQData& q, short id, const char& v) {
    SymQData::AppendFld(q.m_vecChr, id, v);
}

void CSymDataAux::Copy(const CSymData& from, SymQData& to) {
    to.Clear();
    to.m_topic = from.m_topic;
    Copy(from.m_map_flid_2_double, to);
    Copy(from.m_map_flid_2_int, to);
    Copy(from.m_map_flid_2_GrowingStr, to);
    Copy(from.m_map_flid_2_char, to);
    CTickClassifier cls;
    for (auto it = from.m_setFlids.begin(); it != from.m_setFlids.end(); ++it) {
        cls.Add(*it);
    }
    to.m_eTickType = cls.Result();
}

bool CSymDataAux::Copy(const SymQData& from, CSymData& to) {
    for (const DblFld& f : from.m_vecDbl) {
        if (!to.SetFlidDouble(f.m_flid, f.m_value)) {
            return false;
        }
    }
    for (const IntFld& f : from.m_vecInt) {
        if (!to.SetFlidInt(f.m_flid, f.m_value)) {
            return false;
        }
    }
    for (const StrFld& f : from.m_vecStr) {
        if (!to.SetFlidString(f.m_flid, f.m_value)) {
            return false;
        }
    }
    for (const ChrFld& f : from.m_vecChr) {
        if (!to.SetFlidChar(f.m_flid, f.m_value)) {
            return false;
        }
    }
    return true;
}
