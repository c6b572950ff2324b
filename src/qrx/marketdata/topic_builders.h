// Builders of topic texts, and the reader of the textual topic description
// ("TOPIC_PORT_SYMBOL;portfolio,symbol"). Every builder writes into the
// caller's buffer and never past nTopicSize / nLength bytes: a topic that does
// not fit is cut and stays NUL-terminated. A null text argument counts as empty.
#pragma once

#include <cstddef>

class CSymTopicBuilders {
public:
    // Size of the topic buffers that callers pass by default.
    static constexpr size_t TOPIC_SIZE = 128;

    // The builders that return int return the number of characters written
    // (0 with no buffer or a size of 0).

    // "0" SEP symbol.
    static int CreateTopic(const char* szSymbol, char* szTopic, size_t nTopicSize = TOPIC_SIZE);
    // "1" SEP source number in decimal SEP symbol.
    static int CreateDepthTopic(const char* szSymbol, char cSource, char* szTopic,
                                size_t nTopicSize = TOPIC_SIZE);
    // "2" SEP portfolio SEP symbol.
    static int CreatePortSymbolTopic(const char* szPortfolio, const char* szSymbol, char* szTopic,
                                     size_t nTopicSize = TOPIC_SIZE);
    // "3" SEP filter SEP depth topic of symbol and source.
    static int CreateFilterTopic(const char* szFilter, const char* szSymbol, char cSource,
                                 char* szTopic, size_t nTopicSize = TOPIC_SIZE);
    // "4" SEP source character SEP symbol. False, and nothing written, unless the
    // whole topic fits (symbol length + 4 < nLength) and the source is not 0.
    static bool CreateDirectFeedTopic(char* szTopic, const char* szSymbol, char cSource,
                                      size_t nLength);
    // "5" SEP near SEP far SEP symbol, cut to nLength - 1 characters. False, and
    // nothing written, when nNear <= 0 or nLength is 0.
    static bool CreateSizesTopic(const char* szSymbol, int nNear, int nFar, char* szTopic,
                                 size_t nLength);
    // "6" SEP symbol SEP source character SEP mmid. False when nLength < 47 or
    // the source is 0.
    static bool CreateMMIDTopic(const char* szSymbol, char cSource, const char* szMMID,
                                char* szTopic, int nLength);
    // "7" SEP symbol SEP user.
    static int CreateSymbolRiskUserTopic(const char* szSymbol, const char* szUser, char* szTopic,
                                         size_t nTopicSize = TOPIC_SIZE);
    // "8" SEP symbol SEP user.
    static int CreateSymbolOptionUserTopic(const char* szSymbol, const char* szUser, char* szTopic,
                                           size_t nTopicSize = TOPIC_SIZE);
    // "9" SEP symbol.
    static int CreateGreekTopic(const char* szSymbol, char* szTopic,
                                size_t nTopicSize = TOPIC_SIZE);
    // "10" SEP subscribe symbol SEP symbol type SEP publish symbol. False when
    // nLength < 64 or the symbol type is outside 0 to 99 (the field has two digits).
    static bool CreateSymbolAliasTopic(const char* szSubscribeSymbol, const char* szPublishSymbol,
                                       char* szTopic, int nLength, short nSymbolType);

    // True for a topic with sizes: "5" then the separator.
    static bool IsTopicWithSize(const char* szTopic);

    // Reads a topic description. "TOPIC_PORT_SYMBOL;portfolio,symbol" and
    // "TOPIC_SOURCE_SYMBOL;source-name,symbol" build their topic and point
    // *pszSymbol at the symbol inside szInfo (an unknown source name, or a
    // symbol too long for a direct-feed topic, gives an empty topic). Anything
    // else is a topic itself: the text before any ";", cut to 127 characters,
    // with *pszSymbol pointing at szTopic. szInfo is modified: its ";" and ","
    // become NULs. szTopic must hold 128 bytes.
    static void ParseTopicInfo(char* szInfo, char* szTopic, char** pszSymbol);
};
