#include "qrx/marketdata/sym_topic.h"

#include <climits>
#include <cstdlib>

namespace {

constexpr char SEP = CSymTopic::m_cDelimiter;

// Lengths are 16-bit: a longer part is reported by its first 32767 characters,
// which keeps every copy inside the text.
int16_t Len16(size_t n) {
    return n > static_cast<size_t>(SHRT_MAX) ? SHRT_MAX : static_cast<int16_t>(n);
}

// Reads [p, end) as an unsigned decimal number no greater than nMax. Fails on an
// empty field, on any character that is not a digit and on a larger value.
bool ParseNumber(const char* p, const char* end, int nMax, int& nValue) {
    if (p == end) {
        return false;
    }
    int v = 0;
    for (; p != end; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        v = v * 10 + (*p - '0');
        if (v > nMax) {
            return false;
        }
    }
    nValue = v;
    return true;
}

bool CopyPart(const char* szPart, int16_t nPartLen, char* szBuf, int nLen) {
    if (szBuf == nullptr || nLen < 1) {
        return false;
    }
    if (szPart == nullptr) {
        szBuf[0] = '\0';
        return false;
    }
    int n = nPartLen < nLen - 1 ? nPartLen : nLen - 1;
    if (n < 0) {
        n = 0;
    }
    memcpy(szBuf, szPart, static_cast<size_t>(n));
    szBuf[n] = '\0';
    return true;
}

}  // namespace

const TopicTypeMap& CSymTopic::PopulateMap() {
    static const TopicTypeMap s_map = [] {
        static const char* const names[] = {
            "TOPIC_SYMBOL",
            "TOPIC_DEPTH",
            "TOPIC_PORT_SYMBOL",
            "TOPIC_FILTER",
            "TOPIC_SOURCE_SYMBOL",
            "TOPIC_WITH_SIZES",
            "TOPIC_SYMBOL_SOURCE_MMID",
            "TOPIC_SYMBOL_RISK_USER",
            "TOPIC_SYMBOL_OPTION_USER",
            "TOPIC_GREEK",
            "TOPIC_SYMBOL_ALIAS",
        };
        TopicTypeMap m;
        for (int i = 0; i <= TOPIC_SYMBOL_ALIAS; ++i) {
            m.emplace(GrowingStr(names[i]), i);
        }
        return m;
    }();
    return s_map;
}

int CSymTopic::GetTopicTypeFromStr(const char* szName) {
    if (szName == nullptr) {
        return -1;
    }
    auto it = m_pMapTopicType->find(szName);
    return it == m_pMapTopicType->end() ? -1 : it->second;
}

CSymTopic::CSymTopic(const char* szText) {
    Init();
    if (szText != nullptr) {
        Reparse(szText);
    }
}

void CSymTopic::Init() {
    m_szFilter = nullptr;
    m_iFilterLength = 0;
    ClearParts();
}

void CSymTopic::ClearParts() {
    m_szSymbol = nullptr;
    m_szPortfolio = nullptr;
    m_szColumn = nullptr;
    m_szMMID = nullptr;
    m_szUser = nullptr;
    m_szPublishSymbol = nullptr;
    m_cDepthSource = 0;
    m_dblStreamSize = 0;
    m_enType = TOPIC_SYMBOL;
    m_iSymbolLength = 0;
    m_iColumnLength = 0;
    m_iPortfolioLength = 0;
    m_iMMIDLength = 0;
    m_iUserLength = 0;
    m_iPublishSymbolLength = 0;
    m_iSubscribeSymbolType = 0;
    m_dblFarStreamSize = 0;
}

void CSymTopic::Reparse(const char* szText) {
    Init();
    const char* szInner = szText;
    if (szText != nullptr) {
        // A filter topic wraps another topic: "3" SEP filter SEP inner-topic.
        const char* sep = strchr(szText, SEP);
        int nType = 0;
        if (sep != nullptr && ParseNumber(szText, sep, TOPIC_SYMBOL_ALIAS, nType) &&
            nType == TOPIC_FILTER) {
            m_szFilter = sep + 1;
            const char* sep2 = strchr(m_szFilter, SEP);
            if (sep2 != nullptr) {
                m_iFilterLength = Len16(static_cast<size_t>(sep2 - m_szFilter));
                szInner = sep2 + 1;
            } else {
                m_iFilterLength = Len16(strlen(m_szFilter));
                szInner = nullptr;
            }
        }
    }
    ParseTopic(szInner);
}

void CSymTopic::ParseTopic(const char* szText) {
    bool bWellFormed = szText == nullptr || ParseFields(szText);
    if (!bWellFormed || m_szSymbol == nullptr) {
        ClearParts();
        m_szSymbol = szText;
        m_iSymbolLength = szText == nullptr ? 0 : Len16(strlen(szText));
    }
}

bool CSymTopic::ParseFields(const char* szText) {
    // Type field.
    const char* p = szText;
    const char* sep = strchr(p, SEP);
    int nType = 0;
    if (sep == nullptr || sep == p || !ParseNumber(p, sep, TOPIC_SYMBOL_ALIAS, nType)) {
        return true;
    }
    m_enType = static_cast<enTopicType>(nType);
    if (nType == TOPIC_SYMBOL || nType == TOPIC_GREEK) {
        m_szSymbol = sep + 1;
        m_iSymbolLength = Len16(strlen(m_szSymbol));
        return true;
    }

    // Second field.
    p = sep + 1;
    sep = strchr(p, SEP);
    if (sep == nullptr || sep == p) {
        return true;
    }
    const char* rest = sep + 1;
    switch (nType) {
        case TOPIC_DEPTH: {
            int nSource = 0;
            if (!ParseNumber(p, sep, 255, nSource) || nSource == 0) {
                return true;
            }
            m_cDepthSource = static_cast<char>(nSource);
            m_szSymbol = rest;
            const char* sep2 = strchr(rest, SEP);
            if (sep2 != nullptr) {
                m_iSymbolLength = Len16(static_cast<size_t>(sep2 - rest));
                m_dblStreamSize = strtod(sep2 + 1, nullptr);
            } else {
                m_iSymbolLength = Len16(strlen(rest));
            }
            return true;
        }
        case TOPIC_PORT_SYMBOL:
            m_szPortfolio = p;
            m_iPortfolioLength = Len16(static_cast<size_t>(sep - p));
            m_szSymbol = rest;
            m_iSymbolLength = Len16(strlen(rest));
            return true;
        case TOPIC_SOURCE_SYMBOL:
            m_cDepthSource = *p;
            m_szSymbol = rest;
            m_iSymbolLength = Len16(strlen(rest));
            return true;
        case TOPIC_WITH_SIZES: {
            const char* sep2 = strchr(rest, SEP);
            if (sep2 != nullptr) {
                m_dblStreamSize = strtod(p, nullptr);
                m_dblFarStreamSize = strtod(rest, nullptr);
                m_szSymbol = sep2 + 1;
                m_iSymbolLength = Len16(strlen(m_szSymbol));
            }
            return true;
        }
        case TOPIC_SYMBOL_RISK_USER:
        case TOPIC_SYMBOL_OPTION_USER:
            m_szSymbol = p;
            m_iSymbolLength = Len16(static_cast<size_t>(sep - p));
            m_szUser = rest;
            m_iUserLength = Len16(strlen(rest));
            return true;
        case TOPIC_SYMBOL_SOURCE_MMID:
        case TOPIC_SYMBOL_ALIAS:
            m_szSymbol = p;
            m_iSymbolLength = Len16(static_cast<size_t>(sep - p));
            break;
        default:  // TOPIC_FILTER: only meaningful behind Reparse's prefix.
            return true;
    }

    // Third field (types 6 and 10). Later fields belong to the last part.
    p = rest;
    sep = strchr(p, SEP);
    if (sep == nullptr || sep == p) {
        return true;
    }
    rest = sep + 1;
    if (nType == TOPIC_SYMBOL_SOURCE_MMID) {
        m_cDepthSource = *p;
        m_szMMID = rest;
        m_iMMIDLength = Len16(strlen(rest));
        return true;
    }
    int nSymbolType = 0;
    if (sep - p > 2 || !ParseNumber(p, sep, 99, nSymbolType)) {
        return false;
    }
    m_iSubscribeSymbolType = static_cast<int16_t>(nSymbolType);
    m_szPublishSymbol = rest;
    m_iPublishSymbolLength = Len16(strlen(rest));
    return true;
}

bool CSymTopic::Symbol(char* szBuf, int nLen) const {
    return CopyPart(m_szSymbol, m_iSymbolLength, szBuf, nLen);
}

bool CSymTopic::Portfolio(char* szBuf, int nLen) const {
    return CopyPart(m_szPortfolio, m_iPortfolioLength, szBuf, nLen);
}

bool CSymTopic::User(char* szBuf, int nLen) const {
    return CopyPart(m_szUser, m_iUserLength, szBuf, nLen);
}

bool CSymTopic::Filter(char* szBuf, int nLen) const {
    return CopyPart(m_szFilter, m_iFilterLength, szBuf, nLen);
}

bool CSymTopic::MMID(char* szBuf, int nLen) const {
    return CopyPart(m_szMMID, m_iMMIDLength, szBuf, nLen);
}

bool CSymTopic::SubscribeSymbol(char* szBuf, int nLen) const {
    return CopyPart(m_enType == TOPIC_SYMBOL_ALIAS ? m_szSymbol : nullptr, m_iSymbolLength, szBuf,
                    nLen);
}

bool CSymTopic::PublishSymbol(char* szBuf, int nLen) const {
    return CopyPart(m_szPublishSymbol, m_iPublishSymbolLength, szBuf, nLen);
}

bool CSymTopic::SubscribeSymbolType(short& nType) const {
    bool bPresent = m_enType == TOPIC_SYMBOL_ALIAS && m_szPublishSymbol != nullptr;
    nType = bPresent ? m_iSubscribeSymbolType : 0;
    return bPresent;
}

bool CSymTopic::DepthSource(char& cSource) const {
    bool bPresent = (m_enType == TOPIC_DEPTH || m_enType == TOPIC_SOURCE_SYMBOL ||
                     m_enType == TOPIC_SYMBOL_SOURCE_MMID) &&
                    m_cDepthSource != 0;
    cSource = bPresent ? m_cDepthSource : 0;
    return bPresent;
}

bool CSymTopic::DepthStreamSize(double& dblSize) const {
    bool bPresent =
        m_enType == TOPIC_WITH_SIZES || (m_enType == TOPIC_DEPTH && m_dblStreamSize != 0);
    dblSize = bPresent ? m_dblStreamSize : 0;
    return bPresent;
}

bool CSymTopic::DepthStreamFarSize(double& dblSize) const {
    bool bPresent = m_enType == TOPIC_WITH_SIZES;
    dblSize = bPresent ? m_dblFarStreamSize : 0;
    return bPresent;
}
