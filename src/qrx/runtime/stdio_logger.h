// Process-wide logger: time-stamped lines with a level marker on standard error.
#pragma once

#include <string>

class CEventLogger {
public:
    virtual ~CEventLogger() = default;
    virtual CEventLogger& operator<<(long val) = 0;
    virtual CEventLogger& operator<<(unsigned long val) = 0;
    virtual CEventLogger& operator<<(int val) = 0;
    virtual CEventLogger& operator<<(unsigned int val) = 0;
    virtual CEventLogger& operator<<(const std::string& val) = 0;
    virtual CEventLogger& operator<<(short val) = 0;
    virtual CEventLogger& operator<<(double val) = 0;
    virtual CEventLogger& operator<<(float val) = 0;
    virtual CEventLogger& operator<<(const char* val) = 0;
    virtual CEventLogger& operator<<(char val) = 0;
    virtual void Log(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
};

class CStdioLogger : public CEventLogger {
public:
    enum enLevel { LEVEL_ERROR, LEVEL_WARNING, LEVEL_INFO, LEVEL_DEBUG };

    static CStdioLogger* GetInstance();

    CStdioLogger& operator<<(long val) override;
    CStdioLogger& operator<<(unsigned long val) override;
    CStdioLogger& operator<<(int val) override;
    CStdioLogger& operator<<(unsigned int val) override;
    CStdioLogger& operator<<(const std::string& val) override;
    CStdioLogger& operator<<(short val) override;
    CStdioLogger& operator<<(double val) override;
    CStdioLogger& operator<<(float val) override;
    CStdioLogger& operator<<(const char* val) override;
    CStdioLogger& operator<<(char val) override;
    CStdioLogger& operator<<(unsigned short val) { return *this << static_cast<int>(val); }
    CStdioLogger& operator<<(long long val) { return *this << static_cast<long>(val); }
    CStdioLogger& operator<<(unsigned long long val) {
        return *this << static_cast<unsigned long>(val);
    }
    CStdioLogger& operator<<(bool val) { return *this << static_cast<int>(val); }
    CStdioLogger& operator<<(const void* val);
    void Log(const char* format, ...) override __attribute__((format(printf, 2, 3)));

    // Decides whether the next line is written: always, unless it is a debug
    // line and debug output is off.
    virtual void SetDebugMode(bool bIsDebug);
    void SetTimeString();
    const char* GetTimeString() const { return m_szCurrentTime; }
    bool IsDebugSet() const { return m_bIsDebugSet; }

    // Starts a line: decides whether it is printed, stamps it and writes the
    // level marker. The caller chains the text and ends it with "\n".
    static CStdioLogger& BeginLine(enLevel level);
    // As BeginLine, then "file:line:function: " for lines that carry their location.
    static CStdioLogger& BeginLineAt(enLevel level, const char* file, int line, const char* func);

    static const char* LevelMarker(enLevel level);

private:
    CStdioLogger();

    char m_szCurrentTime[256];
    bool m_bIsDebugSet;
    bool m_bPrintMsg;
    static CStdioLogger* m_pLogger;
};

#define QRX_LOG_LINE_(level, ...) (CStdioLogger::BeginLine(level) << __VA_ARGS__ << "\n")
#define QRX_LOG_LINE_AT_(level, ...) \
    (CStdioLogger::BeginLineAt(level, __FILE__, __LINE__, __func__) << __VA_ARGS__ << "\n")

#define QRX_LOG_ERROR(...) QRX_LOG_LINE_(CStdioLogger::LEVEL_ERROR, __VA_ARGS__)
#define QRX_LOG_WARNING(...) QRX_LOG_LINE_(CStdioLogger::LEVEL_WARNING, __VA_ARGS__)
#define QRX_LOG_INFO(...) QRX_LOG_LINE_(CStdioLogger::LEVEL_INFO, __VA_ARGS__)
#define QRX_LOG_DEBUG(...) QRX_LOG_LINE_(CStdioLogger::LEVEL_DEBUG, __VA_ARGS__)

#define QRX_LOG_ERROR_AT(...) QRX_LOG_LINE_AT_(CStdioLogger::LEVEL_ERROR, __VA_ARGS__)
#define QRX_LOG_WARNING_AT(...) QRX_LOG_LINE_AT_(CStdioLogger::LEVEL_WARNING, __VA_ARGS__)
#define QRX_LOG_INFO_AT(...) QRX_LOG_LINE_AT_(CStdioLogger::LEVEL_INFO, __VA_ARGS__)
#define QRX_LOG_DEBUG_AT(...) QRX_LOG_LINE_AT_(CStdioLogger::LEVEL_DEBUG, __VA_ARGS__)
