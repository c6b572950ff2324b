#pragma once

#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "qrx/proxy/data_pool.h"
#include "qrx/proxy/ko_map.h"
#include "qrx/runtime/growing_str.h"
#include "qrx/runtime/reg_ex.h"

// Orders string pointers by their text (byte-wise); also compares against plain text, so a set
// is searched by a symbol without building a string.
struct predGSP {
    using is_transparent = void;
    bool operator()(const GrowingStr* a, const GrowingStr* b) const {
        return strcmp(a->c_str(), b->c_str()) < 0;
    }
    bool operator()(const GrowingStr* a, const char* b) const { return strcmp(a->c_str(), b) < 0; }
    bool operator()(const char* a, const GrowingStr* b) const { return strcmp(a, b->c_str()) < 0; }
};

// Translation between the symbols clients use and the symbols of a market-data feed, loaded
// from a text file: a forward map client symbol -> feed symbol, a reverse map feed symbol -> the
// client symbols that translate to it (its synonyms), and regular-expression rules for client
// symbols the maps do not know, whose results are remembered. The file's entries live in
// character tries; what the rules translate is remembered in ordered maps beside them, since a
// client can name any number of symbols and a trie takes a node of some 800 bytes per character
// of each.
//
// File format, one line each:
//   # comment             (so is any line that starts with a blank, and an empty line)
//   SEPARATOR: |          every character of the second word separates fields from here on
//   REGEX: expr pattern   a rule: a matching client symbol becomes the pattern ($1..$9 groups)
//   SYM1,SYM2 FEED        client symbols (comma-separated, 28 characters at most) -> feed
// Only the first 511 characters of a line count. The default separator is a blank.
//
// No lock of its own: a lookup that falls through to the rules inserts into the maps, so one
// table is used by one thread at a time.
class SymTranslator {
public:
    using SynonymSet = std::set<GrowingStr*, predGSP>;

    static constexpr int kFileNameSize = 4096;
    static constexpr int kLineSize = 512;        // a line counts up to 511 characters
    static constexpr int kMaxKoSymbolLen = 28;   // a client symbol of an entry line
    static constexpr int kRegExResultSize = 32;  // rule results keep 30 characters
    static constexpr time_t kRefreshAfterSecs = 10;

    SymTranslator();
    virtual ~SymTranslator();

    SymTranslator(const SymTranslator&) = delete;
    SymTranslator& operator=(const SymTranslator&) = delete;

    // Readies the string pool, remembers the file and loads it. False for a null or empty name
    // (which also forgets any file set before) or when the file cannot be read.
    bool Init(const char* szFileName);
    // Only readies the string pool, for a table filled through AddXLateEntry.
    bool Init();
    // Reads the file into the maps (nothing is removed; a client symbol keeps its first
    // mapping; rules are appended). False when no file is set or it cannot be read.
    bool LoadFile();
    // Loads the file again when it was modified more than 10 seconds after the last load.
    void Refresh();

    // The feed symbol of a client symbol: from the forward map, else from the last rule that
    // matches; otherwise logged as not found and the argument itself is returned.
    const char* GetKo2Feed(const char* szKOSymbol);
    // The client symbols that translate to a feed symbol, or null.
    SynonymSet* GetFeed2Ko(const char* szFeedSymbol);
    // Maps a client symbol to a feed symbol, replacing its earlier mapping. False when either is
    // null or empty or the mapping could not be stored.
    bool AddXLateEntry(const char* szKOSymbol, const char* szFeedSymbol);

    const char* GetTranFile() const { return m_TranFile; }
    const char* GetSeparator() const { return m_szSeparator; }
    size_t GetNumRegEx() const { return m_vecRegEx.size(); }

private:
    void HandleLine(char* szLine);
    void HandleSeparatorLine(const char* szLine);
    void HandleRegExLine(char* szLine);
    void HandleEntryLine(char* szLine);
    void AddEntry(const char* szKOSymbol, const char* szFeedSymbol);
    const char* GetRegExKO2Feed(const char* szKOSymbol);
    // The feed symbol a client symbol maps to, from the file or a rule; null when none.
    GrowingStr* FindFeed(const char* szKOSymbol) const;
    // Adds a client symbol to the synonym set of a feed symbol, making the set when needed (in
    // the rules' map for a rule's result).
    bool AddSynonym(const char* szFeedSymbol, const char* szKOSymbol, bool bFromRule = false);
    // A string from the pool holding the text, or null.
    GrowingStr* NewString(const char* szText);
    void ReleaseString(GrowingStr* pStr) { m_GSPool.Release(pStr); }
    bool InitPool();

    KoMap::TMap<char*, GrowingStr*, KoMap::Printable> m_DictKO2Feed;
    KoMap::TMap<char*, SynonymSet*, KoMap::Printable> m_ThesFeed2KO;
    // What the rules translated: client symbol -> feed symbol, and the synonym sets of feed
    // symbols first met as a rule's result. Keys hold printable characters only, as the tries'.
    std::map<GrowingStr*, GrowingStr*, predGSP> m_RuleKO2Feed;
    std::map<GrowingStr*, SynonymSet*, predGSP> m_RuleFeed2KO;
    char m_TranFile[kFileNameSize];
    time_t m_tRefreshTime;
    CDataPool<GrowingStr> m_GSPool;
    char m_cSeparator;  // unused; the separator set below is what splits fields
    char m_szSeparator[5];
    std::vector<CRegEx*> m_vecRegEx;  // in file order, owned
};
