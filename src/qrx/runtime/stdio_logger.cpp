#include "qrx/runtime/stdio_logger.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>

CStdioLogger* CStdioLogger::m_pLogger = nullptr;

CStdioLogger::CStdioLogger() : m_bIsDebugSet(false), m_bPrintMsg(true) {
    // Lines written with Log, perror and fprintf must interleave with chained output.
    std::ios_base::sync_with_stdio(true);
    const char* dbg = std::getenv("QUOR_PRINT_DBGMSG");
    m_bIsDebugSet = dbg != nullptr && std::strcmp(dbg, "YES") == 0;
    m_szCurrentTime[0] = '\0';
}

CStdioLogger* CStdioLogger::GetInstance() {
    static std::once_flag once;
    std::call_once(once, [] { m_pLogger = new CStdioLogger(); });
    return m_pLogger;
}

void CStdioLogger::SetDebugMode(bool bIsDebug) {
    m_bPrintMsg = m_bIsDebugSet || !bIsDebug;
}

void CStdioLogger::SetTimeString() {
    if (!m_bPrintMsg) {
        return;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmLocal;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &tmLocal);
    snprintf(m_szCurrentTime, sizeof(m_szCurrentTime), "[%02d:%02d:%02d.%06ld] - ", tmLocal.tm_hour,
             tmLocal.tm_min, tmLocal.tm_sec, static_cast<long>(tv.tv_usec));
}

const char* CStdioLogger::LevelMarker(enLevel level) {
    switch (level) {
        case LEVEL_ERROR:
            return "**ERROR**\t:";
        case LEVEL_WARNING:
            return "~WARNING~\t:";
        case LEVEL_INFO:
            return "  INFO   \t:";
        case LEVEL_DEBUG:
            return "..DEBUG..\t:";
    }
    return "";
}

CStdioLogger& CStdioLogger::BeginLine(enLevel level) {
    CStdioLogger* log = GetInstance();
    log->SetDebugMode(level == LEVEL_DEBUG);
    log->SetTimeString();
    *log << log->GetTimeString() << LevelMarker(level);
    return *log;
}

CStdioLogger& CStdioLogger::BeginLineAt(enLevel level, const char* file, int line,
                                        const char* func) {
    const char* slash = std::strrchr(file, '/');
    CStdioLogger& log = BeginLine(level);
    return log << (slash ? slash + 1 : file) << ":" << line << ":" << func << ": ";
}

#define QRX_LOGGER_WRITE(expr)   \
    do {                         \
        if (m_bPrintMsg) {       \
            std::cerr << (expr); \
        }                        \
        return *this;            \
    } while (0)

CStdioLogger& CStdioLogger::operator<<(long val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(unsigned long val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(int val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(unsigned int val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(const std::string& val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(short val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(double val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(float val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(const char* val) {
    QRX_LOGGER_WRITE(val ? val : "(null)");
}
CStdioLogger& CStdioLogger::operator<<(char val) {
    QRX_LOGGER_WRITE(val);
}
CStdioLogger& CStdioLogger::operator<<(const void* val) {
    QRX_LOGGER_WRITE(val);
}

#undef QRX_LOGGER_WRITE

void CStdioLogger::Log(const char* format, ...) {
    if (!m_bPrintMsg) {
        return;
    }
    std::cerr.flush();
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}
