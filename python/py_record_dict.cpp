#include "py_record_dict.h"

#include <cstring>

#include "qrx/marketdata/sym_data.h"

namespace pyqrx {

namespace {

PyObject* s_keys[CSymData::MAX_FLIDS];
PyObject* s_chars[256];

// The version tag CPython gives a dict on every change: telling whether anyone
// edited the dict since the last fill costs one compare.
bool DictTag(PyObject* dict, unsigned long long* tag) {
#if PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    *tag = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
    return true;
#else
    // No tag to trust: every update rebuilds the dict.
    (void)dict;
    *tag = 0;
    return false;
#endif
}

}  // namespace

bool InitRecordTables() {
    for (int id = 0; id < CSymData::MAX_FLIDS; ++id) {
        if (s_keys[id] == nullptr && (s_keys[id] = PyLong_FromLong(id)) == nullptr) {
            return false;
        }
    }
    for (int c = 0; c < 256; ++c) {
        if (s_chars[c] == nullptr && (s_chars[c] = PyUnicode_FromOrdinal(c)) == nullptr) {
            return false;
        }
    }
    return true;
}

PyObject* FieldKey(int id) {
    return id >= 0 && id < CSymData::MAX_FLIDS ? s_keys[id] : nullptr;
}

PyObject* CharObject(unsigned char c) {
    return s_chars[c];
}

PyObject* TextObject(const char* s, Py_ssize_t len) {
    return PyUnicode_DecodeUTF8(s, len, "surrogateescape");
}

RecordDict::RecordDict() {
    m_dict = PyDict_New();
    memset(m_keys, 0, sizeof m_keys);
    memset(m_values, 0, sizeof m_values);
    memset(m_dbl, 0, sizeof m_dbl);
    memset(m_int, 0, sizeof m_int);
}

RecordDict::~RecordDict() {
    for (PyObject*& v : m_values) {
        Py_CLEAR(v);
    }
    Py_CLEAR(m_dict);
}

bool RecordDict::Unchanged() const {
    unsigned long long tag;
    return m_valid && DictTag(m_dict, &tag) && tag == m_tag && PyDict_GET_SIZE(m_dict) == m_nKeys;
}

void RecordDict::Forget() {
    m_valid = false;
}

PyObject* RecordDict::CachedText(int id, const char* text, size_t len) const {
    if (id < 1024 || id >= 1536) {
        return nullptr;
    }
    PyObject* v = m_values[id];
    const std::string& raw = m_str[id - 1024];
    if (v == nullptr || raw.size() != len || memcmp(raw.data(), text, len) != 0) {
        return nullptr;
    }
    return v;
}

PyObject* RecordDict::ValueFor(const CSymData& data, int id, bool* changed) {
    const int block = (id >> 4) & 31;
    const int slot = id & 15;
    PyObject* old = m_values[id];
    PyObject* obj = nullptr;
    switch (id >> 9) {
        case 0: {
            const double v = data.m_map_flid_2_double.SlotValue(block, slot);
            double& seen = m_dbl[id];
            if (old != nullptr && memcmp(&seen, &v, sizeof v) == 0) {
                *changed = false;
                return old;
            }
            if ((obj = PyFloat_FromDouble(v)) == nullptr) {
                return nullptr;
            }
            seen = v;
            break;
        }
        case 1: {
            const int v = data.m_map_flid_2_int.SlotValue(block, slot);
            int& seen = m_int[id - 512];
            if (old != nullptr && seen == v) {
                *changed = false;
                return old;
            }
            if ((obj = PyLong_FromLong(v)) == nullptr) {
                return nullptr;
            }
            seen = v;
            break;
        }
        case 2: {
            const GrowingStr& v = data.m_map_flid_2_GrowingStr.SlotValue(block, slot);
            std::string& seen = m_str[id - 1024];
            if (old != nullptr && seen.size() == v.length() &&
                memcmp(seen.data(), v.c_str(), v.length()) == 0) {
                *changed = false;
                return old;
            }
            if ((obj = TextObject(v.c_str(), v.length())) == nullptr) {
                return nullptr;
            }
            seen.assign(v.c_str(), v.length());
            break;
        }
        default: {
            const char v = data.m_map_flid_2_char.SlotValue(block, slot);
            obj = CharObject(static_cast<unsigned char>(v));
            if (old == obj) {
                *changed = false;
                return old;
            }
            Py_INCREF(obj);
            break;
        }
    }
    m_values[id] = obj;
    Py_XDECREF(old);  // the dict still holds its own reference until replaced
    *changed = true;
    return obj;
}

bool RecordDict::Fill(const CSymData& data) {
    if (m_dict == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    uint64_t next[kWords];
    static_assert(sizeof next == 4 * 32 * sizeof(uint16_t), "one bit per field id");
    char* p = reinterpret_cast<char*>(next);
    memcpy(p, data.m_map_flid_2_double.PresenceMasks(), 64);
    memcpy(p + 64, data.m_map_flid_2_int.PresenceMasks(), 64);
    memcpy(p + 128, data.m_map_flid_2_GrowingStr.PresenceMasks(), 64);
    memcpy(p + 192, data.m_map_flid_2_char.PresenceMasks(), 64);

    if (!Unchanged()) {
        PyDict_Clear(m_dict);
        memset(m_keys, 0, sizeof m_keys);
    }
    Forget();  // until the dict is complete again

    // The keys before the first id at which the two sets differ stay where
    // they are; the keys from there on are taken out and put back in order, so
    // that the dict stays in increasing id order.
    int first = kWords * 64;
    for (int w = 0; w < kWords; ++w) {
        const uint64_t diff = m_keys[w] ^ next[w];
        if (diff != 0) {
            first = w * 64 + __builtin_ctzll(diff);
            break;
        }
    }
    for (int w = first / 64; w < kWords; ++w) {
        uint64_t bits = m_keys[w];
        if (w == first / 64) {
            bits &= ~((uint64_t{1} << (first & 63)) - 1);
        }
        for (; bits != 0; bits &= bits - 1) {
            if (PyDict_DelItem(m_dict, s_keys[w * 64 + __builtin_ctzll(bits)]) != 0) {
                return false;
            }
        }
    }
    for (int w = 0; w < kWords; ++w) {
        for (uint64_t bits = next[w]; bits != 0; bits &= bits - 1) {
            const int id = w * 64 + __builtin_ctzll(bits);
            bool changed = false;
            PyObject* v = ValueFor(data, id, &changed);
            if (v == nullptr) {
                return false;
            }
            if ((changed || id >= first) && PyDict_SetItem(m_dict, s_keys[id], v) != 0) {
                return false;
            }
        }
    }
    memcpy(m_keys, next, sizeof m_keys);
    m_nKeys = PyDict_GET_SIZE(m_dict);
    m_valid = DictTag(m_dict, &m_tag);
    return true;
}

}  // namespace pyqrx
