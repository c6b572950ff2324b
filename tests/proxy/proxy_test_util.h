// Helpers shared by the proxy tests.
#pragma once

#include "common/alloc_counter.h"

namespace proxytest {

using qrxtest::AllocCounter;

}  // namespace proxytest
