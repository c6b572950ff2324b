// Parsed form of a topic. Structured topics are fields joined by the byte 0x06,
// the first field being the topic type; any other text is a plain symbol.
// Parsing splits the text in place: the text fields point into the parsed text
// and only the last field of a topic ends with the text's NUL, so the lengths
// give the extents. The parsed text must outlive the object's use of them.
#pragma once

#include "qrx/runtime/growing_str.h"

#include <cstdint>
#include <cstring>
#include <map>

class CSymTopic;

// Type names in byte-wise order, searched with a C string.
using CTopicNameLess = GrowingStrLess;

using TopicTypeMap = std::map<GrowingStr, int, CTopicNameLess>;

// Pointer-like handle to the map of type names. It holds no state, so it is
// constant-initialised; the map itself is built on first dereference (one-time,
// thread-safe), which makes it usable from any static initialiser.
class CTopicTypeMapRef {
public:
    constexpr CTopicTypeMapRef() = default;
    const TopicTypeMap* operator->() const { return &Get(); }
    const TopicTypeMap& operator*() const { return Get(); }

private:
    static const TopicTypeMap& Get();
};

class CSymTopic {
public:
    enum enTopicType {
        TOPIC_SYMBOL = 0,
        TOPIC_DEPTH = 1,
        TOPIC_PORT_SYMBOL = 2,
        TOPIC_FILTER = 3,
        TOPIC_SOURCE_SYMBOL = 4,
        TOPIC_WITH_SIZES = 5,
        TOPIC_SYMBOL_SOURCE_MMID = 6,
        TOPIC_SYMBOL_RISK_USER = 7,
        TOPIC_SYMBOL_OPTION_USER = 8,
        TOPIC_GREEK = 9,
        TOPIC_SYMBOL_ALIAS = 10,
    };

    static constexpr char m_cDelimiter = 0x06;
    // Type name ("TOPIC_DEPTH") to type number.
    static constexpr CTopicTypeMapRef m_pMapTopicType{};

    const char* m_szSymbol;         // symbol (type 10: the subscribe symbol)
    const char* m_szPortfolio;      // type 2
    const char* m_szColumn;         // not set by parsing
    const char* m_szFilter;         // filter prefix of a type-3 topic
    const char* m_szMMID;           // type 6
    const char* m_szUser;           // types 7 and 8
    const char* m_szPublishSymbol;  // type 10
    char m_cDepthSource;            // source code, types 1, 4 and 6
    double m_dblStreamSize;         // type 1 stream size, type 5 near size
    enTopicType m_enType;
    int16_t m_iSymbolLength;
    int16_t m_iColumnLength;
    int16_t m_iPortfolioLength;
    int16_t m_iFilterLength;
    int16_t m_iMMIDLength;
    int16_t m_iUserLength;
    int16_t m_iPublishSymbolLength;
    int16_t m_iSubscribeSymbolType;  // type 10
    double m_dblFarStreamSize;       // type 5

    // Init(), then Reparse(szText) when a text is given.
    explicit CSymTopic(const char* szText = nullptr);

    // No parts, type TOPIC_SYMBOL.
    void Init();
    // Init(), the filter prefix, then ParseTopic on what follows it.
    void Reparse(const char* szText);
    // Splits one topic into its parts; expects a freshly initialised object
    // (a filter set before is kept). A text that is not a well-formed
    // structured topic becomes a plain symbol: type TOPIC_SYMBOL, the whole text.
    void ParseTopic(const char* szText);

    enTopicType Type() const { return m_enType; }

    // Part accessors: copy the part into szBuf, cut to nLen - 1 characters and
    // NUL-terminated, and return true when the topic has the part (an empty
    // part counts). An absent part writes an empty string and returns false;
    // with no buffer or nLen < 1 nothing is written and the result is false.
    bool Symbol(char* szBuf, int nLen) const;
    bool Portfolio(char* szBuf, int nLen = 128) const;
    bool User(char* szBuf, int nLen = 128) const;
    bool Filter(char* szBuf, int nLen = 128) const;
    bool MMID(char* szBuf, int nLen) const;
    bool SubscribeSymbol(char* szBuf, int nLen) const;  // type 10 only
    bool PublishSymbol(char* szBuf, int nLen) const;

    // Value accessors: store the value and return true when the topic carries
    // it, otherwise store 0 and return false. The symbol type comes with a type-10
    // topic that has its publish symbol; the source with types 1, 4 and 6 when
    // parsed; the stream size with type 5 (near size) and with type 1 when it
    // is non-zero; the far size with type 5.
    bool SubscribeSymbolType(short& nType) const;
    bool DepthSource(char& cSource) const;
    bool DepthStreamSize(double& dblSize) const;
    bool DepthStreamFarSize(double& dblSize) const;

    // True for a structured topic: a non-NUL first character followed by the
    // separator, or by a non-NUL second character and then the separator.
    static bool IsDelimTopic(const char* szText) {
        return szText != nullptr && szText[0] != '\0' &&
               (szText[1] == m_cDelimiter || (szText[1] != '\0' && szText[2] == m_cDelimiter));
    }
    // Number of a type name, -1 when the name is unknown or null.
    static int GetTopicTypeFromStr(const char* szName);
    // The map of type names, built once on first call.
    static const TopicTypeMap& PopulateMap();

private:
    // Clears every part but the filter.
    void ClearParts();
    // Fills the parts from a structured topic; false when a field that was
    // already accepted turns out malformed further on.
    bool ParseFields(const char* szText);
};

inline const TopicTypeMap& CTopicTypeMapRef::Get() {
    return CSymTopic::PopulateMap();
}
