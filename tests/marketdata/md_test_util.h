// Helpers shared by the market-data tests: the bytes of a stream, input streams
// over private copies of bytes, and a count of heap allocations.
#pragma once

#include "common/alloc_counter.h"
#include "common/stream_bytes.h"

namespace mdtest {

using qrxtest::AllocCounter;
using qrxtest::Bytes;
using qrxtest::Content;
using qrxtest::Input;

}  // namespace mdtest
