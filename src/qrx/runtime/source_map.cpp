#include "qrx/runtime/source_map.h"

namespace KoDefaultSource {

namespace {

// Position in this list is the source number that travels in topics: never
// reorder or insert, only the table's owners may append.
const char* const s_builtinCodes[SourceMap::BUILTIN_COUNT] = {
    "",        "ML",     "NSDQ",  "REDI",     "PINK",    "BLO",    "MS",    "GLT",     "BOFA",
    "REGBKAG", "ARCA",   "OTCBB", "REUT",     "SNPC",    "ATFI",   "SGX",   "BLEND",   "OPBK",
    "TRNT",    "CME",    "CDNX",  "BTRD",     "QUOR",    "HSFX",   "REGBK", "FIX",     "NQDS",
    "DRES",    "IOI",    "SEAQ",  "SETS",     "NYLQ",    "RBOS",   "UBS",   "CITI",    "CSFB",
    "DBFX",    "BARC",   "EBS",   "HSBC",     "OSE",     "JPMC",   "CRNX",  "SAXO",    "GSFX",
    "LAVA",    "OPRA",   "FIMAT", "QUOROT",   "AMEX",    "BOX",    "CBOE",  "ARCA_OP", "PHLX",
    "ISE",     "FXCM",   "CBOT",  "EUREX",    "AIG",     "ABN",    "MULT",  "SEB",     "ADM",
    "LCAP",    "FCST",   "GFT",   "MAN",      "MAREX",   "ODL",    "PFG",   "FXMS",    "TBF",
    "CBF",     "PBF",    "WEST",  "CME_IMPL", "FXALL",   "DUMY",   "GCFX",  "SCFX",    "SOGC",
    "UBSB",    "UBSC",   "CITII", "CITIP",    "MCX",     "SENSEX", "GSFXI", "GSFXP",   "CHIX",
    "BREN",    "PAEN",   "LSEN",  "AMEN",     "BATS",    "EDGX",   "OMEGA", "SCFXP",   "ALPHA",
    "KORD",    "HSBC2",  "HSBC3", "BOFA2",    "BOFA3",   "NATXS",  "BMF",   "BMFAGG",  "BSE",
    "BSEAGG",  "EDGEFX", "GFX",   "QRXSTRT",  "NSDQ_OP", "NOMU",   "NSE",   "MS2",     "LUCID",
    "LUCID2",  "BNPFX",  "ASX",   "HKEX",     "TSE",     "NZX",    "MX",    "MXIMPL",  "QUOTE",
    "SET",     "BM",     "RBC",   "SSFX",     "CIBC",    "RCG",    "INTFX", "FXDD",    "ILQ",
    "VFX",     "HCFX",   "ADSS",  "XFIN",     "BTP",     "GSA",    "COMZ",  "ADX",     "DSE",
    "DGCX",    "TOCOM",  "TWSE",  "SETE",     "SETD",    "MCXSX",  "ACE",   "SSE",     "SZSE",
    "HKMEX",   "MOEX",   "NCDEX", "BFX",
};

}  // namespace

SourceMap::SourceMap() {
    m_vCodes.reserve(BUILTIN_COUNT);
    for (unsigned i = 0; i < BUILTIN_COUNT; ++i) {
        m_vCodes.emplace_back(s_builtinCodes[i]);
        m_mNumbers.emplace(GrowingStr(s_builtinCodes[i]), i);
    }
}

SourceMap& SourceMap::GetInstance() {
    static SourceMap s_instance;
    return s_instance;
}

const char* SourceMap::ToString(unsigned nSource) const {
    if (nSource >= m_vCodes.size()) {
        return nullptr;
    }
    return m_vCodes[nSource].c_str();
}

unsigned SourceMap::ToEnum(const char* szSourceName) const {
    if (szSourceName == nullptr) {
        return 0;
    }
    auto it = m_mNumbers.find(szSourceName);
    return it == m_mNumbers.end() ? 0 : it->second;
}

int SourceMap::Update(unsigned nSource, const char* szSourceName) {
    // The empty code is reserved for number 0 ("no source").
    if (nSource == 0 || nSource >= m_vCodes.size() || szSourceName == nullptr ||
        szSourceName[0] == '\0') {
        return 0;
    }
    GrowingStr code(szSourceName);
    if (code.length() != strlen(szSourceName)) {
        return 0;  // too long for a string: refuse rather than store a different code
    }
    m_vCodes[nSource] = code;
    m_mNumbers[code] = nSource;
    return 1;
}

}  // namespace KoDefaultSource
