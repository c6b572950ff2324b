// Table of market-data sources: converts between a source's code ("NSDQ") and
// its source number, the one byte that carries the source inside topics. Both
// ends of a connection use the same built-in table, so the numbers are fixed.
#pragma once

#include "qrx/runtime/growing_str.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <vector>

namespace KoDefaultSource {

class SourceMap {
public:
    using CodeLess = GrowingStrLess;
    using CodeMap = std::map<GrowingStr, uint32_t, CodeLess>;

    // Number of entries of the built-in table (numbers 0 to 156; 0 is the empty
    // code and stands for no source).
    static constexpr unsigned BUILTIN_COUNT = 157;

    // The process-wide table, built on first call (thread-safe).
    static SourceMap& GetInstance();

    // The code of a source number; null when the number is outside the table.
    // The pointer stays valid until that number is renamed with Update.
    const char* ToString(unsigned nSource) const;
    // The number of a code (exact, case-sensitive match); 0 for an unknown or
    // null code.
    unsigned ToEnum(const char* szSourceName) const;
    // Renames source nSource to szSourceName. Returns 0 and changes nothing for
    // number 0, a number outside the table, or a null, empty or over-long name;
    // otherwise returns 1 (an existing entry with the same code is re-pointed).
    // The old code keeps mapping to the same number. Meant for set-up: it takes
    // no lock, so no other thread may convert sources meanwhile.
    int Update(unsigned nSource, const char* szSourceName);

    size_t Size() const { return m_vCodes.size(); }

    SourceMap(const SourceMap&) = delete;
    SourceMap& operator=(const SourceMap&) = delete;

private:
    SourceMap();

    std::vector<GrowingStr> m_vCodes;  // number -> code
    CodeMap m_mNumbers;                // code -> number
};

}  // namespace KoDefaultSource
