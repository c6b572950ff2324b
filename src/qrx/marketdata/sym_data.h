// The market-data record: the current values of one instrument's fields, each
// keyed by a field id 0..2047 whose type follows from its range (0-511 double,
// 512-1023 int, 1024-1535 string, 1536-2047 char).
#pragma once

#include <cstddef>

#include "qrx/marketdata/flid_map.h"
#include "qrx/runtime/growing_str.h"

// The named fields that code reads through references: type, map, name.
#define QRX_SYMDATA_NAMED_FIELDS(X)                       \
    X(double, m_map_flid_2_double, bid)                   \
    X(double, m_map_flid_2_double, ask)                   \
    X(double, m_map_flid_2_double, vwap)                  \
    X(double, m_map_flid_2_double, last)                  \
    X(double, m_map_flid_2_double, prim_ask)              \
    X(double, m_map_flid_2_double, prim_bid)              \
    X(double, m_map_flid_2_double, prim_vwap)             \
    X(double, m_map_flid_2_double, prim_last)             \
    X(double, m_map_flid_2_double, high)                  \
    X(double, m_map_flid_2_double, low)                   \
    X(double, m_map_flid_2_double, open)                  \
    X(double, m_map_flid_2_double, close)                 \
    X(double, m_map_flid_2_double, prim_high)             \
    X(double, m_map_flid_2_double, prim_low)              \
    X(double, m_map_flid_2_double, prim_open)             \
    X(double, m_map_flid_2_double, prim_close)            \
    X(double, m_map_flid_2_double, tick_size)             \
    X(double, m_map_flid_2_double, todays_close)          \
    X(double, m_map_flid_2_double, volume)                \
    X(double, m_map_flid_2_double, preopen_volume)        \
    X(double, m_map_flid_2_double, av_daily_volume)       \
    X(double, m_map_flid_2_double, prim_volume)           \
    X(int, m_map_flid_2_int, bid_size)                    \
    X(int, m_map_flid_2_int, ask_size)                    \
    X(int, m_map_flid_2_int, trade_size)                  \
    X(int, m_map_flid_2_int, prim_bid_size)               \
    X(int, m_map_flid_2_int, prim_ask_size)               \
    X(int, m_map_flid_2_int, prim_trade_size)             \
    X(int, m_map_flid_2_int, update_time)                 \
    X(int, m_map_flid_2_int, trade_time)                  \
    X(int, m_map_flid_2_int, instrument_type)             \
    X(int, m_map_flid_2_int, price_format)                \
    X(int, m_map_flid_2_int, price_precision)             \
    X(int, m_map_flid_2_int, size_format)                 \
    X(int, m_map_flid_2_int, min_lot_size)                \
    X(GrowingStr, m_map_flid_2_GrowingStr, symbol)        \
    X(GrowingStr, m_map_flid_2_GrowingStr, company_name)  \
    X(GrowingStr, m_map_flid_2_GrowingStr, exchange)      \
    X(GrowingStr, m_map_flid_2_GrowingStr, currency)      \
    X(GrowingStr, m_map_flid_2_GrowingStr, bid_quoter)    \
    X(GrowingStr, m_map_flid_2_GrowingStr, ask_quoter)    \
    X(GrowingStr, m_map_flid_2_GrowingStr, last_exchange) \
    X(GrowingStr, m_map_flid_2_GrowingStr, group)         \
    X(GrowingStr, m_map_flid_2_GrowingStr, topic)         \
    X(char, m_map_flid_2_char, fx_is_inverse)             \
    X(char, m_map_flid_2_char, imbalance_side)            \
    X(char, m_map_flid_2_char, no_ind_clearing_price)     \
    X(char, m_map_flid_2_char, price_variation_indicator) \
    X(char, m_map_flid_2_char, level2_indicator)          \
    X(char, m_map_flid_2_char, bid_direction)             \
    X(char, m_map_flid_2_char, prim_bid_direction)        \
    X(char, m_map_flid_2_char, trade_direction)           \
    X(char, m_map_flid_2_char, prim_trade_direction)      \
    X(char, m_map_flid_2_char, ask_direction)             \
    X(char, m_map_flid_2_char, prim_ask_direction)        \
    X(char, m_map_flid_2_char, delay_indicator)           \
    X(char, m_map_flid_2_char, arca_imbalance_side)       \
    X(char, m_map_flid_2_char, cross_type)                \
    X(char, m_map_flid_2_char, nyse_imbalance_side)       \
    X(char, m_map_flid_2_char, sho_indicator)

// The set of present ids of a record, over its four maps, in increasing id
// order: all doubles, then ints, strings and chars.
class UnionFlidSet {
public:
    class iterator {
    public:
        iterator() { SetEnd(); }
        explicit iterator(const UnionFlidSet& set);

        int operator*() const { return m_offset + m_workingSet * 512 + m_index * 16; }
        iterator& operator++();
        iterator operator++(int) {
            iterator tmp = *this;
            ++*this;
            return tmp;
        }
        bool operator==(const iterator& o) const {
            return m_workingSet == o.m_workingSet && m_index == o.m_index && m_offset == o.m_offset;
        }
        bool operator!=(const iterator& o) const { return !(*this == o); }

        // Back to the first present id.
        void Reset();
        void SetEnd() {
            m_workingSet = 3;
            m_index = 31;
            m_offset = 16;
        }

    private:
        friend class UnionFlidSet;

        const unsigned short* m_set[4] = {nullptr, nullptr, nullptr, nullptr};
        int m_workingSet;
        int m_index;
        int m_offset;
    };
    using const_iterator = iterator;

    UnionFlidSet(FlidMap<double>* d, FlidMap<int>* i, FlidMap<GrowingStr>* s, FlidMap<char>* c)
        : m_doubleMap(d), m_intMap(i), m_stringMap(s), m_charMap(c) {}

    iterator begin() const { return iterator(*this); }
    iterator end() const { return iterator(); }
    // The position of id when it is present, else end().
    iterator find(unsigned id) const;
    // True when id is present.
    bool operator[](unsigned id) const;
    size_t count(unsigned id) const { return (*this)[id] ? 1 : 0; }
    // Makes id absent; returns the number of fields removed (0 or 1).
    size_t erase(unsigned id);
    // Removes the field at it and returns the position of the next present id.
    iterator erase(iterator it);
    size_t size() const;
    bool empty() const {
        return m_doubleMap->empty() && m_intMap->empty() && m_stringMap->empty() &&
               m_charMap->empty();
    }

private:
    FlidMap<double>* m_doubleMap;
    FlidMap<int>* m_intMap;
    FlidMap<GrowingStr>* m_stringMap;
    FlidMap<char>* m_charMap;
};

class CSymData {
public:
    typedef UnionFlidSet SETFLIDS;

    static constexpr int MAX_FLIDS = 2048;
    static constexpr int flid_type_mask = -512;
    static constexpr int key_to_table_index_right_shift = 4;
    static constexpr int key_to_table_index_mask = 31;
    static constexpr int key_to_table_offset_mask = 15;
    static constexpr int table_array_size = 32;

    enum enFlids : int {
        flid_illegal = -1,
#define QRX_FLID(name, id) flid_##name = id,
#define QRX_FLID_UNNAMED(name, id) flid_##name = id,
#include "qrx/marketdata/flid_table.h"
#undef QRX_FLID
#undef QRX_FLID_UNNAMED
    };

    CSymData();
    CSymData(const CSymData& other);
    CSymData& operator=(const CSymData& other);
    virtual ~CSymData() = default;

    // Typed stores: false, with the record unchanged, for an id of another type.
    bool SetFlidDouble(int id, const double& v) {
        return m_map_flid_2_double.InsertFlid(id, v);
    }
    bool SetFlidInt(int id, const int& v) {
        return m_map_flid_2_int.InsertFlid(id, v);
    }
    bool SetFlidString(int id, const GrowingStr& v) {
        return m_map_flid_2_GrowingStr.InsertFlid(id, v);
    }
    bool SetFlidChar(int id, const char& v) {
        return m_map_flid_2_char.InsertFlid(id, v);
    }

    // Typed reads: false for an absent field or an id of another type.
    bool GetFlidDouble(int id, double& v) const {
        return m_map_flid_2_double.GetFlid(id, v);
    }
    bool GetFlidInt(int id, int& v) const {
        return m_map_flid_2_int.GetFlid(id, v);
    }
    bool GetFlidString(int id, GrowingStr& v) const {
        return m_map_flid_2_GrowingStr.GetFlid(id, v);
    }
    // Points at the stored text, valid until the field is next stored.
    bool GetFlidStringPtr(int id, const char*& v) const {
        const GrowingStr* p = m_map_flid_2_GrowingStr.GetFlidPtr(id);
        if (p == nullptr) {
            return false;
        }
        v = p->c_str();
        return true;
    }
    bool GetFlidChar(int id, char& v) const {
        return m_map_flid_2_char.GetFlid(id, v);
    }

    double GetFlidDoubleOrDefault(int id, const double& def) const {
        return m_map_flid_2_double.GetFlidValueOrDefault(id, def);
    }
    int GetFlidIntOrDefault(int id, const int& def) const {
        return m_map_flid_2_int.GetFlidValueOrDefault(id, def);
    }
    const GrowingStr& GetFlidStringOrDefault(int id, const GrowingStr& def) const {
        return m_map_flid_2_GrowingStr.GetFlidValueOrDefault(id, def);
    }
    char GetFlidCharOrDefault(int id, const char& def) const {
        return m_map_flid_2_char.GetFlidValueOrDefault(id, def);
    }

    // Stores through the named reference and marks the field present.
#define QRX_SYMDATA_SET_MEMBER(T, map, name) \
    void SET_MEMBER_##name(const T& v) {     \
        const_cast<T&>(m_##name) = v;        \
        map.FlagReference(flid_##name);      \
    }
    QRX_SYMDATA_NAMED_FIELDS(QRX_SYMDATA_SET_MEMBER)
#undef QRX_SYMDATA_SET_MEMBER

    // Makes every field absent; storage, string objects and the values seen
    // through the named references stay.
    void clear();
    // Merges the present fields of other into this record.
    void insert(const CSymData& other);

    // True when every field present in other is present here too: merging
    // this record into other would leave other equal to this one.
    bool Covers(const CSymData& other) const {
        return m_map_flid_2_double.Covers(other.m_map_flid_2_double) &&
               m_map_flid_2_int.Covers(other.m_map_flid_2_int) &&
               m_map_flid_2_GrowingStr.Covers(other.m_map_flid_2_GrowingStr) &&
               m_map_flid_2_char.Covers(other.m_map_flid_2_char);
    }

    // Brings the presence masks into the cache ahead of a Covers or clear.
    void PrefetchMasks() const {
        m_map_flid_2_double.PrefetchMasks();
        m_map_flid_2_int.PrefetchMasks();
        m_map_flid_2_GrowingStr.PrefetchMasks();
    }

    bool operator==(const CSymData& other) const;
    bool operator!=(const CSymData& other) const {
        return !(*this == other);
    }

    FlidMap<double> m_map_flid_2_double;
    FlidMap<int> m_map_flid_2_int;
    FlidMap<GrowingStr> m_map_flid_2_GrowingStr;
    FlidMap<char> m_map_flid_2_char;
    SETFLIDS m_setFlids;

    // Named references: bound at construction to their slots for the life of
    // the record; they read the slot whether the field is present or not.
#define QRX_SYMDATA_DECLARE_REF(T, map, name) const T& m_##name;
    QRX_SYMDATA_NAMED_FIELDS(QRX_SYMDATA_DECLARE_REF)
#undef QRX_SYMDATA_DECLARE_REF
};
