#include "qrx/proxy/sym_translator.h"

#include <sys/stat.h>

#include <cstdio>
#include <new>

#include "qrx/runtime/input_file.h"
#include "qrx/runtime/stdio_logger.h"

namespace {

// A field that may serve as an expression, pattern or feed symbol.
bool IsUsableField(const char* szField) {
    return szField != nullptr && szField[0] != '\0' && szField[0] != '#' && szField[0] != ' ' &&
           szField[0] != '\n';
}

// Reads one line into buf (at most size - 1 characters, line end removed) and skips whatever
// of the line did not fit, so that a long line never spills into the next. A NUL byte ends the
// line's text but not the line: what follows it up to the line end is passed over with the rest.
// A byte order mark before the first line (bFirst) is no part of it. False at the end.
bool ReadLine(FILE* fp, char* buf, int size, bool bFirst) {
    int c = getc_unlocked(fp);
    if (c == EOF) {
        return false;
    }
    int len = 0;
    if (bFirst) {
        static const unsigned char kBom[3] = {0xEF, 0xBB, 0xBF};
        int nMatched = 0;
        while (nMatched < 3 && c == kBom[nMatched]) {
            ++nMatched;
            c = getc_unlocked(fp);
        }
        if (nMatched < 3) {
            for (int i = 0; i < nMatched; ++i) {
                buf[len++] = static_cast<char>(kBom[i]);  // no mark: the line's own bytes
            }
        }
    }
    for (; c != EOF && c != '\n'; c = getc_unlocked(fp)) {
        if (len < size - 1) {
            buf[len++] = static_cast<char>(c);
        }
    }
    buf[len] = '\0';
    const size_t textLen = strlen(buf);
    if (textLen > 0 && buf[textLen - 1] == '\r') {
        buf[textLen - 1] = '\0';
    }
    return true;
}

// A key the tries can hold: printable characters only. Rule results are held to the same.
bool IsPrintableKey(const char* szKey) {
    for (; *szKey != '\0'; ++szKey) {
        if (KoMap::Printable::Index(*szKey) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

SymTranslator::SymTranslator()
    : m_TranFile{},
      m_tRefreshTime(0),
      m_GSPool(100, "_UNNAMED_"),
      m_cSeparator(' '),
      m_szSeparator{' ', '\0', '\0', '\0', '\0'} {}

SymTranslator::~SymTranslator() {
    for (GrowingStr* pFeed : m_DictKO2Feed) {
        ReleaseString(pFeed);
    }
    for (SynonymSet* pSet : m_ThesFeed2KO) {
        for (GrowingStr* pKO : *pSet) {
            ReleaseString(pKO);
        }
        delete pSet;
    }
    for (auto& entry : m_RuleKO2Feed) {
        ReleaseString(entry.first);
        ReleaseString(entry.second);
    }
    for (auto& entry : m_RuleFeed2KO) {
        for (GrowingStr* pKO : *entry.second) {
            ReleaseString(pKO);
        }
        delete entry.second;
        ReleaseString(entry.first);
    }
    for (CRegEx* pRegEx : m_vecRegEx) {
        delete pRegEx;
    }
}

bool SymTranslator::InitPool() {
    return m_GSPool.Init();  // reports its own failure
}

bool SymTranslator::Init() {
    return InitPool();
}

bool SymTranslator::Init(const char* szFileName) {
    if (szFileName == nullptr || szFileName[0] == '\0') {
        m_TranFile[0] = '\0';
        return false;
    }
    InitPool();
    if (strlen(szFileName) >= sizeof(m_TranFile)) {
        // No such path can be opened; a cut name might open some other file.
        m_TranFile[0] = '\0';
        QRX_LOG_ERROR("Unable to open Translation File: " << szFileName);
        return false;
    }
    strcpy(m_TranFile, szFileName);
    m_tRefreshTime = time(nullptr);
    return LoadFile();
}

bool SymTranslator::LoadFile() {
    if (m_TranFile[0] == '\0') {
        return false;
    }
    FILE* fp = fopen_input_file(m_TranFile);
    if (fp == nullptr) {
        QRX_LOG_ERROR("Unable to open Translation File: " << m_TranFile);
        return false;
    }
    char szLine[kLineSize];
    for (bool bFirst = true; ReadLine(fp, szLine, sizeof(szLine), bFirst); bFirst = false) {
        HandleLine(szLine);
    }
    const bool bReadError = ferror(fp) != 0;
    fclose(fp);
    if (bReadError) {
        QRX_LOG_ERROR("Unable to open Translation File: " << m_TranFile);
        return false;
    }
    return true;
}

void SymTranslator::Refresh() {
    struct stat st;
    if (m_TranFile[0] == '\0' || stat(m_TranFile, &st) != 0) {
        return;
    }
    if (st.st_mtime > m_tRefreshTime + kRefreshAfterSecs) {
        LoadFile();
        m_tRefreshTime = st.st_mtime;
    }
}

void SymTranslator::HandleLine(char* szLine) {
    if (szLine[0] == '\0' || szLine[0] == '#' || szLine[0] == ' ') {
        return;
    }
    if (strncmp(szLine, "SEPARATOR:", 10) == 0) {
        HandleSeparatorLine(szLine);
        HandleEntryLine(szLine);  // adds nothing unless the line has a second field
        return;
    }
    if (strncmp(szLine, "REGEX:", 6) == 0) {
        HandleRegExLine(szLine);
        return;
    }
    HandleEntryLine(szLine);
}

void SymTranslator::HandleSeparatorLine(const char* szLine) {
    char szSeparator[sizeof(m_szSeparator)] = {};
    if (sscanf(szLine, "%*s %4s", szSeparator) != 1) {
        return;
    }
    memcpy(m_szSeparator, szSeparator, sizeof(m_szSeparator));
    fprintf(stdout, "Use %s as seperator\n", m_szSeparator);
    fflush(stdout);
}

void SymTranslator::HandleRegExLine(char* szLine) {
    char* pSave = nullptr;
    char* szField = strtok_r(szLine, m_szSeparator, &pSave);
    if (szField != nullptr && strcmp(szField, "REGEX:") == 0) {
        szField = strtok_r(nullptr, m_szSeparator, &pSave);
    }
    const char* szRegExp = szField;
    const char* szPattern =
        szRegExp != nullptr ? strtok_r(nullptr, m_szSeparator, &pSave) : nullptr;
    if (!IsUsableField(szRegExp) || !IsUsableField(szPattern)) {
        return;
    }
    CRegEx* pRegEx = new (std::nothrow) CRegEx(szRegExp, szPattern);
    if (pRegEx == nullptr) {
        return;
    }
    try {
        m_vecRegEx.push_back(pRegEx);
    } catch (...) {
        delete pRegEx;
        return;
    }
    fprintf(stdout, "Inserting RegEx: RegEx: \"%s\" Replace Pat: \"%s\" \n", szRegExp, szPattern);
    fflush(stdout);
}

void SymTranslator::HandleEntryLine(char* szLine) {
    char* pSave = nullptr;
    const char* szKOList = strtok_r(szLine, m_szSeparator, &pSave);
    const char* szFeed = szKOList != nullptr ? strtok_r(nullptr, m_szSeparator, &pSave) : nullptr;
    if (szKOList == nullptr || !IsUsableField(szFeed)) {
        return;
    }
    // The list ends at its end or at an empty element.
    char szKO[kLineSize];
    const char* p = szKOList;
    for (;;) {
        const char* pComma = strchr(p, ',');
        const size_t len = pComma != nullptr ? static_cast<size_t>(pComma - p) : strlen(p);
        if (len == 0) {
            break;
        }
        memcpy(szKO, p, len);
        szKO[len] = '\0';
        if (len > static_cast<size_t>(kMaxKoSymbolLen)) {
            // Refused whole: pieces of it would map symbols nobody asked for.
            QRX_LOG_WARNING("Client symbol longer than " << kMaxKoSymbolLen
                                                         << " characters ignored: " << szKO);
        } else {
            AddEntry(szKO, szFeed);
        }
        if (pComma == nullptr) {
            break;
        }
        p = pComma + 1;
    }
}

void SymTranslator::AddEntry(const char* szKOSymbol, const char* szFeedSymbol) {
    GrowingStr* pFeed = FindFeed(szKOSymbol) == nullptr ? NewString(szFeedSymbol) : nullptr;
    if (pFeed == nullptr || !m_DictKO2Feed.Insert(szKOSymbol, pFeed)) {
        QRX_LOG_ERROR("Insert to KO2Feed returned false: " << szKOSymbol << " --> "
                                                           << szFeedSymbol);
        ReleaseString(pFeed);
    }
    if (!AddSynonym(szFeedSymbol, szKOSymbol)) {
        QRX_LOG_ERROR("Insert to Feed2KO failed. " << szFeedSymbol << " --> " << szKOSymbol);
    }
}

GrowingStr* SymTranslator::NewString(const char* szText) {
    GrowingStr* pStr = m_GSPool.Get();
    if (pStr != nullptr && !pStr->assign(szText)) {
        ReleaseString(pStr);
        return nullptr;
    }
    return pStr;
}

GrowingStr* SymTranslator::FindFeed(const char* szKOSymbol) const {
    if (GrowingStr* pFeed = m_DictKO2Feed.Find(szKOSymbol)) {
        return pFeed;
    }
    if (szKOSymbol == nullptr || m_RuleKO2Feed.empty()) {
        return nullptr;
    }
    const auto it = m_RuleKO2Feed.find(szKOSymbol);
    return it != m_RuleKO2Feed.end() ? it->second : nullptr;
}

bool SymTranslator::AddSynonym(const char* szFeedSymbol, const char* szKOSymbol, bool bFromRule) {
    SynonymSet* pSet = GetFeed2Ko(szFeedSymbol);
    if (pSet == nullptr) {
        pSet = new (std::nothrow) SynonymSet();
        if (pSet == nullptr) {
            return false;
        }
        bool bStored;
        if (bFromRule) {
            GrowingStr* pKey = IsPrintableKey(szFeedSymbol) ? NewString(szFeedSymbol) : nullptr;
            try {
                bStored = pKey != nullptr && m_RuleFeed2KO.emplace(pKey, pSet).second;
            } catch (...) {
                bStored = false;
            }
            if (!bStored) {
                ReleaseString(pKey);
            }
        } else {
            bStored = m_ThesFeed2KO.Insert(szFeedSymbol, pSet);
        }
        if (!bStored) {
            delete pSet;
            return false;
        }
    }
    if (pSet->find(szKOSymbol) != pSet->end()) {
        return true;
    }
    GrowingStr* pKO = NewString(szKOSymbol);
    if (pKO == nullptr) {
        return false;
    }
    try {
        pSet->insert(pKO);
    } catch (...) {
        ReleaseString(pKO);
        return false;
    }
    return true;
}

const char* SymTranslator::GetKo2Feed(const char* szKOSymbol) {
    if (szKOSymbol == nullptr) {
        return nullptr;
    }
    if (const GrowingStr* pFeed = FindFeed(szKOSymbol)) {
        return pFeed->c_str();
    }
    if (const char* szFeed = GetRegExKO2Feed(szKOSymbol)) {
        return szFeed;
    }
    QRX_LOG_ERROR("XLATE_NOT_FOUND for symbol " << szKOSymbol
                                                << " will continue with the original.");
    return szKOSymbol;
}

const char* SymTranslator::GetRegExKO2Feed(const char* szKOSymbol) {
    char szResult[kRegExResultSize];
    bool bMatched = false;
    for (size_t i = m_vecRegEx.size(); i-- > 0 && !bMatched;) {
        bMatched = m_vecRegEx[i]->ReplaceIfMatch(szKOSymbol, szResult, sizeof(szResult)) >= 0;
    }
    if (!bMatched) {
        return nullptr;
    }
    GrowingStr* pKO = IsPrintableKey(szKOSymbol) ? NewString(szKOSymbol) : nullptr;
    GrowingStr* pFeed = pKO != nullptr ? NewString(szResult) : nullptr;
    bool bStored;
    try {
        bStored = pFeed != nullptr && m_RuleKO2Feed.emplace(pKO, pFeed).second;
    } catch (...) {
        bStored = false;
    }
    if (!bStored) {
        QRX_LOG_ERROR("RegEx Insert to KO2Feed returned false: " << szKOSymbol << " --> "
                                                                 << szResult);
        ReleaseString(pKO);
        ReleaseString(pFeed);
        return nullptr;
    }
    if (!AddSynonym(szResult, szKOSymbol, true)) {
        QRX_LOG_ERROR("RegEx Insert to Feed2KO failed. " << szResult << " --> " << szKOSymbol);
    }
    return pFeed->c_str();
}

SymTranslator::SynonymSet* SymTranslator::GetFeed2Ko(const char* szFeedSymbol) {
    if (SynonymSet* pSet = m_ThesFeed2KO.Find(szFeedSymbol)) {
        return pSet;
    }
    if (szFeedSymbol == nullptr || m_RuleFeed2KO.empty()) {
        return nullptr;
    }
    const auto it = m_RuleFeed2KO.find(szFeedSymbol);
    return it != m_RuleFeed2KO.end() ? it->second : nullptr;
}

bool SymTranslator::AddXLateEntry(const char* szKOSymbol, const char* szFeedSymbol) {
    if (szKOSymbol == nullptr || szKOSymbol[0] == '\0' || szFeedSymbol == nullptr ||
        szFeedSymbol[0] == '\0') {
        QRX_LOG_ERROR("Cannot add XLate Entry - NULL Feed or KO Symbol Received.");
        return false;
    }
    if (GrowingStr* pOldFeed = FindFeed(szKOSymbol)) {
        const char* szOldFeed = pOldFeed->c_str();
        if (SynonymSet* pSet = GetFeed2Ko(szOldFeed)) {
            auto it = pSet->find(szKOSymbol);
            if (it != pSet->end()) {
                QRX_LOG_INFO("Erasing : " << szKOSymbol
                                          << " from the Synonyms list for : " << szOldFeed);
                GrowingStr* pKO = *it;
                pSet->erase(it);
                ReleaseString(pKO);
            }
        }
        QRX_LOG_INFO("SymTranslator: Existing Synonyms for " << szOldFeed << " are :");
        if (const SynonymSet* pSet = GetFeed2Ko(szOldFeed)) {
            for (const GrowingStr* pKO : *pSet) {
                fprintf(stderr, " %s,", pKO->c_str());
            }
        }
        fprintf(stderr, "\n");
        const auto itRule = m_RuleKO2Feed.find(szKOSymbol);
        if (itRule != m_RuleKO2Feed.end() && itRule->second == pOldFeed) {
            GrowingStr* pKey = itRule->first;
            m_RuleKO2Feed.erase(itRule);
            ReleaseString(pKey);
        } else {
            m_DictKO2Feed.Erase(szKOSymbol);
        }
        ReleaseString(pOldFeed);
    }
    GrowingStr* pFeed = NewString(szFeedSymbol);
    if (pFeed == nullptr || !m_DictKO2Feed.Insert(szKOSymbol, pFeed)) {
        QRX_LOG_ERROR("Insert to KO2Feed returned false: " << szKOSymbol << " --> "
                                                           << szFeedSymbol);
        ReleaseString(pFeed);
        // A client symbol that cannot be looked up must not show up as a synonym either.
        return false;
    }
    if (!AddSynonym(szFeedSymbol, szKOSymbol)) {
        QRX_LOG_ERROR("Insert to Feed2KO failed. " << szFeedSymbol << " --> " << szKOSymbol);
        return false;
    }
    return true;
}
