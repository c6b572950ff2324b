// Wire helpers shared by the order-book records: a count read from the wire
// is believed only when the bytes left can hold that many records, so that a
// short or lying message fails at once instead of allocating or looping.
#pragma once

#include <cstdint>
#include <ostream>
#include <set>
#include <utility>

#include "qrx/wire/net_stream.h"

namespace QuorCOB {
namespace cobwire {

// Smallest encodings, in bytes: every text empty, every sequence empty.
constexpr int MIN_ID = 4;                            // int
constexpr int MIN_FILTER = 2 + 2 + 2;                // three texts
constexpr int MIN_LEG = 2 + 4 + 4 + 8 + 1 + 1 + 1;   // text, 2 ints, double, char, 2 bools
constexpr int MIN_AUX_BODY = 2;                      // a record body with the count 0
constexpr int MIN_INFO = 4 + 2 + 2 + 4 + 4;          // id, 2 texts, 2 counts
constexpr int MIN_DATA = 4 + 8 + 8 + 4 + 4 + 4 + 4;  // id, 2 prices, 2 sizes, 2 counts

// Reads a count of records of at least nMinEach bytes that are followed by at
// least nTrailing bytes. A negative count reads as 0. False when the field is
// missing or the records cannot fit in what remains.
inline bool read_count(CNetStream& in, int nMinEach, int nTrailing, int& nCount) {
    int n = 0;
    if (!in.GetNextField(n)) {
        return false;
    }
    if (n < 0) {
        n = 0;
    }
    const int64_t need = static_cast<int64_t>(n) * nMinEach + nTrailing;
    if (need > in.GetRemaining()) {
        return false;
    }
    nCount = n;
    return true;
}

// Moves the read position of an input stream to its end, so that a receiver
// reading records "while bytes remain" stops after a record that failed.
inline void drain(CNetStream& in) {
    in.Skip(static_cast<size_t>(in.GetRemaining()));
}

// Writes a container size as the int count that precedes its elements.
template <typename C>
inline bool write_count(CNetStream& out, const C& c) {
    return out.Append(static_cast<int>(c.size()));
}

// A sequence of records: the count, then each record. The reader takes a count
// already checked by read_count and appends to what vec holds.
template <typename Vec>
bool read_records(CNetStream& in, int nCount, Vec& vec) {
    vec.reserve(vec.size() + static_cast<size_t>(nCount));
    for (int i = 0; i < nCount; ++i) {
        typename Vec::value_type record;
        if (!read_cob(in, record)) {
            return false;
        }
        vec.push_back(std::move(record));
    }
    return true;
}

template <typename Vec>
bool write_records(CNetStream& out, const Vec& vec) {
    if (!write_count(out, vec)) {
        return false;
    }
    for (const auto& record : vec) {
        if (!write_cob(out, record)) {
            return false;
        }
    }
    return true;
}

// The request ids that end most records: int count, then the ids. The reader
// adds to what the set holds.
inline bool read_ids(CNetStream& in, std::set<int>& ids) {
    int nIds = 0;
    if (!read_count(in, MIN_ID, 0, nIds)) {
        return false;
    }
    for (int i = 0; i < nIds; ++i) {
        int id = 0;
        if (!in.GetNextField(id)) {
            return false;
        }
        ids.insert(id);
    }
    return true;
}

inline bool write_ids(CNetStream& out, const std::set<int>& ids) {
    if (!write_count(out, ids)) {
        return false;
    }
    for (int id : ids) {
        if (!out.Append(id)) {
            return false;
        }
    }
    return true;
}

inline void print_ids(std::ostream& os, const std::set<int>& ids) {
    for (int id : ids) {
        os << id << ' ';
    }
}

// The stream operators of a record: a write reports nothing, a failed read
// moves the stream to its end.
template <typename T>
CNetStream& write_record(CNetStream& out, const T& record) {
    write_cob(out, record);
    return out;
}

template <typename T>
CNetStream& read_record(CNetStream& in, T& record) {
    if (!read_cob(in, record)) {
        drain(in);
    }
    return in;
}

}  // namespace cobwire
}  // namespace QuorCOB
