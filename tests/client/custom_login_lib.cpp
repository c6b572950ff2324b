// A custom logon library for the tests: marks the record so that the logon
// on the wire shows it ran after the version, user and password were set.
#include <cstdio>
#include <cstring>

#include "qrx/wire/session_msgs.h"

extern "C" bool PopulateCustomLoginInfo(stLogin* login) {
    static const char kMark[] = "+custom";
    const size_t used = strnlen(login->username, sizeof login->username - 1);
    const size_t room = sizeof login->username - 1 - used;
    const size_t add = room < sizeof kMark - 1 ? room : sizeof kMark - 1;
    memcpy(login->username + used, kMark, add);
    login->username[used + add] = '\0';
    snprintf(login->group, sizeof login->group, "v%d", login->protocol_version);
    login->int_value = 4242;
    return true;
}
