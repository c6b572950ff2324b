#include "qrx/net/api_version.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#ifndef QRX_BUILD_HOST
#define QRX_BUILD_HOST "unknown"
#endif

const char* ApiGetVersion() {
    return "Rel-12-2-0_QA";
}

namespace {

// Builds the date command's form from the compiler's __DATE__ ("Mmm dd yyyy")
// and __TIME__ ("hh:mm:ss"), which are local time of the build.
struct BuildDate {
    char text[64];
    BuildDate() {
        static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
        const char* date = __DATE__;
        const char* time = __TIME__;
        struct tm tmBuild;
        memset(&tmBuild, 0, sizeof tmBuild);
        char mon[4] = {date[0], date[1], date[2], '\0'};
        const char* at = strstr(kMonths, mon);
        tmBuild.tm_mon = at ? static_cast<int>(at - kMonths) / 3 : 0;
        int day = 1;
        int year = 1970;
        int hh = 0;
        int mm = 0;
        int ss = 0;
        sscanf(date + 4, "%d %d", &day, &year);
        sscanf(time, "%d:%d:%d", &hh, &mm, &ss);
        tmBuild.tm_mday = day;
        tmBuild.tm_year = year - 1900;
        tmBuild.tm_hour = hh;
        tmBuild.tm_min = mm;
        tmBuild.tm_sec = ss;
        tmBuild.tm_isdst = -1;
        mktime(&tmBuild);  // fills in the weekday and the zone
        if (strftime(text, sizeof text, "%a %b %e %H:%M:%S %Z %Y", &tmBuild) == 0) {
            snprintf(text, sizeof text, "%s %s", date, time);
        }
    }
};

}  // namespace

const char* ApiGetBuildDate() {
    static const BuildDate date;
    return date.text;
}

const char* ApiGetBuildHost() {
    return QRX_BUILD_HOST;
}
