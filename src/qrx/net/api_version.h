// The library's version and build identification.
#pragma once

// "Rel-12-2-0_QA".
const char* ApiGetVersion();
// The build's date and time in the form of the date command, for example
// "Sun Dec  7 08:11:00 UTC 2025".
const char* ApiGetBuildDate();
// The name of the machine the library was built on (QRX_BUILD_HOST at build
// time), "unknown" when none was given.
const char* ApiGetBuildHost();
