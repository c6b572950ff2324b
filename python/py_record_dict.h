// The conversions between market-data records and Python objects: the one dict a
// listener hands to its data callable, and the process-wide tables of field-id
// keys and one-character values.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

class CSymData;

namespace pyqrx {

// Builds the process-wide tables (the 2,048 field-id keys and the 256
// one-character strings). Called once by the module initialisation; false with
// a Python error set when memory runs out.
bool InitRecordTables();
// The int key of a field id (borrowed; the table lives as long as the process).
PyObject* FieldKey(int id);
// The one-character str of a byte (as a Latin-1 character), borrowed.
PyObject* CharObject(unsigned char c);
// A str of raw bytes: UTF-8, with undecodable bytes kept as surrogates so that
// they survive the way back. New reference, or null with a Python error set.
PyObject* TextObject(const char* s, Py_ssize_t len);

// The dict {field id: value} that mirrors one record at a time.
//
// Market data is the hot path, so the dict is not rebuilt for every update: it
// keeps its keys in increasing id order and its hash table; a field whose value
// did not change keeps its value object; only the keys from the first id at
// which the old and new field sets differ are removed and added again. Should
// anything else change the dict between two updates (a callable keeping it and
// editing it), it is emptied and refilled, so that it always holds exactly the
// fields of the last record.
class RecordDict {
public:
    RecordDict();
    ~RecordDict();

    RecordDict(const RecordDict&) = delete;
    RecordDict& operator=(const RecordDict&) = delete;

    // Null when memory ran out at construction.
    PyObject* Dict() const { return m_dict; }

    // Makes the dict hold exactly the fields of data. False with a Python
    // error set when memory runs out; the dict is then rebuilt next time.
    bool Fill(const CSymData& data);

    // The value object the dict holds for a string field id, when the text of
    // the record equals text; else null. Borrowed.
    PyObject* CachedText(int id, const char* text, size_t len) const;

private:
    // Present ids as a bit set: the record's 16-bit block masks (type * 32 +
    // block) laid end to end, read 64 bits at a time; id = word * 64 + bit.
    static constexpr int kWords = 32;

    // The value object for a field, reusing the last one when the value is the
    // same; sets *changed. New object stored in m_values (the cache owns one
    // reference). Null with a Python error set on failure.
    PyObject* ValueFor(const CSymData& data, int id, bool* changed);
    bool Unchanged() const;
    void Forget();

    PyObject* m_dict = nullptr;
    uint64_t m_keys[kWords];       // the ids the dict holds
    Py_ssize_t m_nKeys = 0;        // how many
    unsigned long long m_tag = 0;  // the dict's version after the last fill
    bool m_valid = false;          // m_keys and m_tag describe the dict

    PyObject* m_values[2048];  // last value object per id (owned), or null
    double m_dbl[512];         // the values behind m_values, to compare with
    int m_int[512];
    std::string m_str[512];
};

}  // namespace pyqrx
