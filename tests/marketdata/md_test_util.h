// Helpers shared by the market-data tests: the bytes of a stream, input streams
// over private copies of bytes, a count of heap allocations, and topic texts.
#pragma once

#include "common/alloc_counter.h"
#include "common/stream_bytes.h"
#include "qrx/marketdata/sym_topic.h"

#include <string>

namespace mdtest {

using qrxtest::AllocCounter;
using qrxtest::Bytes;
using qrxtest::Content;
using qrxtest::Input;

// Topic text from a readable form: '|' stands for the separator.
inline std::string T(const char* readable) {
    std::string s(readable);
    for (char& c : s) {
        c = c == '|' ? CSymTopic::m_cDelimiter : c;
    }
    return s;
}

}  // namespace mdtest
