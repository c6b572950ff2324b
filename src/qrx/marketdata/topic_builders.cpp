#include "qrx/marketdata/topic_builders.h"

#include "qrx/marketdata/sym_topic.h"
#include "qrx/runtime/source_map.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr char SEP = CSymTopic::m_cDelimiter;

const char* OrEmpty(const char* sz) {
    return sz == nullptr ? "" : sz;
}

// snprintf into the caller's buffer; the count of characters actually kept.
__attribute__((format(printf, 3, 4))) int Compose(char* szTopic, size_t nSize, const char* szFormat,
                                                  ...) {
    if (szTopic == nullptr || nSize == 0) {
        return 0;
    }
    va_list args;
    va_start(args, szFormat);
    int n = vsnprintf(szTopic, nSize, szFormat, args);
    va_end(args);
    if (n < 0) {
        szTopic[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < nSize ? n : static_cast<int>(nSize - 1);
}

// Source numbers are one byte, 1 to 255: written unsigned so that every number
// reads back.
unsigned SourceNumber(char cSource) {
    return static_cast<unsigned char>(cSource);
}

// A topic of the type and two texts: "type|first|second".
int ComposeTwoTexts(int nType, const char* szFirst, const char* szSecond, char* szTopic,
                    size_t nTopicSize) {
    return Compose(szTopic, nTopicSize, "%d%c%s%c%s", nType, SEP, OrEmpty(szFirst), SEP,
                   OrEmpty(szSecond));
}

}  // namespace

int CSymTopicBuilders::CreateTopic(const char* szSymbol, char* szTopic, size_t nTopicSize) {
    return Compose(szTopic, nTopicSize, "%d%c%s", CSymTopic::TOPIC_SYMBOL, SEP, OrEmpty(szSymbol));
}

int CSymTopicBuilders::CreateDepthTopic(const char* szSymbol, char cSource, char* szTopic,
                                        size_t nTopicSize) {
    return Compose(szTopic, nTopicSize, "%d%c%u%c%s", CSymTopic::TOPIC_DEPTH, SEP,
                   SourceNumber(cSource), SEP, OrEmpty(szSymbol));
}

int CSymTopicBuilders::CreatePortSymbolTopic(const char* szPortfolio, const char* szSymbol,
                                             char* szTopic, size_t nTopicSize) {
    return ComposeTwoTexts(CSymTopic::TOPIC_PORT_SYMBOL, szPortfolio, szSymbol, szTopic,
                           nTopicSize);
}

int CSymTopicBuilders::CreateFilterTopic(const char* szFilter, const char* szSymbol, char cSource,
                                         char* szTopic, size_t nTopicSize) {
    return Compose(szTopic, nTopicSize, "%d%c%s%c%d%c%u%c%s", CSymTopic::TOPIC_FILTER, SEP,
                   OrEmpty(szFilter), SEP, CSymTopic::TOPIC_DEPTH, SEP, SourceNumber(cSource), SEP,
                   OrEmpty(szSymbol));
}

bool CSymTopicBuilders::CreateDirectFeedTopic(char* szTopic, const char* szSymbol, char cSource,
                                              size_t nLength) {
    // A source of 0 would end the text inside the topic.
    if (szTopic == nullptr || cSource == '\0') {
        return false;
    }
    const char* szSym = OrEmpty(szSymbol);
    size_t nSymLen = strlen(szSym);
    if (!(nSymLen + 4 < nLength)) {
        return false;
    }
    szTopic[0] = '0' + CSymTopic::TOPIC_SOURCE_SYMBOL;
    szTopic[1] = SEP;
    szTopic[2] = cSource;
    szTopic[3] = SEP;
    memcpy(szTopic + 4, szSym, nSymLen + 1);
    return true;
}

bool CSymTopicBuilders::CreateSizesTopic(const char* szSymbol, int nNear, int nFar, char* szTopic,
                                         size_t nLength) {
    if (szTopic == nullptr || nNear <= 0 || nLength == 0) {
        return false;
    }
    Compose(szTopic, nLength, "%d%c%d%c%d%c%s", CSymTopic::TOPIC_WITH_SIZES, SEP, nNear, SEP, nFar,
            SEP, OrEmpty(szSymbol));
    return true;
}

bool CSymTopicBuilders::CreateMMIDTopic(const char* szSymbol, char cSource, const char* szMMID,
                                        char* szTopic, int nLength) {
    if (szTopic == nullptr || nLength < 47 || cSource == '\0') {
        return false;
    }
    Compose(szTopic, static_cast<size_t>(nLength), "%d%c%s%c%c%c%s",
            CSymTopic::TOPIC_SYMBOL_SOURCE_MMID, SEP, OrEmpty(szSymbol), SEP, cSource, SEP,
            OrEmpty(szMMID));
    return true;
}

int CSymTopicBuilders::CreateSymbolRiskUserTopic(const char* szSymbol, const char* szUser,
                                                 char* szTopic, size_t nTopicSize) {
    return ComposeTwoTexts(CSymTopic::TOPIC_SYMBOL_RISK_USER, szSymbol, szUser, szTopic,
                           nTopicSize);
}

int CSymTopicBuilders::CreateSymbolOptionUserTopic(const char* szSymbol, const char* szUser,
                                                   char* szTopic, size_t nTopicSize) {
    return ComposeTwoTexts(CSymTopic::TOPIC_SYMBOL_OPTION_USER, szSymbol, szUser, szTopic,
                           nTopicSize);
}

int CSymTopicBuilders::CreateGreekTopic(const char* szSymbol, char* szTopic, size_t nTopicSize) {
    return Compose(szTopic, nTopicSize, "%d%c%s", CSymTopic::TOPIC_GREEK, SEP, OrEmpty(szSymbol));
}

bool CSymTopicBuilders::CreateSymbolAliasTopic(const char* szSubscribeSymbol,
                                               const char* szPublishSymbol, char* szTopic,
                                               int nLength, short nSymbolType) {
    if (szTopic == nullptr || nLength < 64 || nSymbolType < 0 || nSymbolType > 99) {
        return false;
    }
    Compose(szTopic, static_cast<size_t>(nLength), "%d%c%s%c%d%c%s", CSymTopic::TOPIC_SYMBOL_ALIAS,
            SEP, OrEmpty(szSubscribeSymbol), SEP, static_cast<int>(nSymbolType), SEP,
            OrEmpty(szPublishSymbol));
    return true;
}

bool CSymTopicBuilders::IsTopicWithSize(const char* szTopic) {
    return szTopic != nullptr && szTopic[0] == '0' + CSymTopic::TOPIC_WITH_SIZES &&
           szTopic[1] == SEP;
}

void CSymTopicBuilders::ParseTopicInfo(char* szInfo, char* szTopic, char** pszSymbol) {
    if (szTopic == nullptr || pszSymbol == nullptr) {
        return;
    }
    if (szInfo == nullptr) {
        szTopic[0] = '\0';
        *pszSymbol = szTopic;
        return;
    }
    char* semi = strchr(szInfo, ';');
    if (semi != nullptr) {
        *semi = '\0';
        int nType = CSymTopic::GetTopicTypeFromStr(szInfo);
        char* szArgs = semi + 1;
        char* comma =
            nType == CSymTopic::TOPIC_PORT_SYMBOL || nType == CSymTopic::TOPIC_SOURCE_SYMBOL
                ? strchr(szArgs, ',')
                : nullptr;
        if (comma != nullptr) {
            *comma = '\0';
            char* szSymbol = comma + 1;
            *pszSymbol = szSymbol;
            if (nType == CSymTopic::TOPIC_PORT_SYMBOL) {
                CreatePortSymbolTopic(szArgs, szSymbol, szTopic, TOPIC_SIZE);
            } else {
                unsigned nSource = KoDefaultSource::SourceMap::GetInstance().ToEnum(szArgs);
                if (!CreateDirectFeedTopic(szTopic, szSymbol, static_cast<char>(nSource),
                                           TOPIC_SIZE - 1)) {
                    szTopic[0] = '\0';
                }
            }
            return;
        }
    }
    size_t n = strlen(szInfo);
    if (n > TOPIC_SIZE - 1) {
        n = TOPIC_SIZE - 1;
    }
    memcpy(szTopic, szInfo, n);
    szTopic[n] = '\0';
    *pszSymbol = szTopic;
}
