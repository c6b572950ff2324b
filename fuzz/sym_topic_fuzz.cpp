// Feeds topic parsing: the input, as a NUL-terminated text, is parsed as a
// topic (CSymTopic, reparsed into a reused object as the listener does) and
// as a topic description (ParseTopicInfo). Every part copied out must be
// terminated within the buffer given, and the parts must lie in the text.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_util.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/marketdata/topic_builders.h"

namespace {

// A part accessor into a buffer of each of a few sizes: the result is
// terminated within the buffer and nothing past it is written.
template <typename Fn>
void CheckPart(Fn fn) {
    for (int len : {1, 2, 8, 128}) {
        char buf[128 + 8];
        memset(buf, 'x', sizeof buf);
        fn(buf, len);
        FUZZ_CHECK(memchr(buf, 0, static_cast<size_t>(len)) != nullptr);
        FUZZ_CHECK(buf[len] == 'x');
    }
}

void CheckPointer(const char* p, int16_t len, const std::string& text) {
    if (p == nullptr) {
        return;
    }
    // A part points into the parsed text or at storage of the object; either
    // way it is readable for its length.
    FUZZ_CHECK(len >= 0);
    volatile char sink = 0;
    for (int i = 0; i < len; ++i) {
        sink = static_cast<char>(sink ^ p[i]);
    }
    (void)text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CSymTopic reused("_UN_INIT_");
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();  // up to the first NUL, as a topic field would carry it

    for (CSymTopic* t : {&reused}) {
        t->Reparse(text.c_str());
        CSymTopic fresh(text.c_str());
        FUZZ_CHECK(fresh.Type() == t->Type());
        FUZZ_CHECK(t->Type() >= CSymTopic::TOPIC_SYMBOL &&
                   t->Type() <= CSymTopic::TOPIC_SYMBOL_ALIAS);
        CheckPart([&](char* b, int n) { t->Symbol(b, n); });
        CheckPart([&](char* b, int n) { t->Portfolio(b, n); });
        CheckPart([&](char* b, int n) { t->User(b, n); });
        CheckPart([&](char* b, int n) { t->Filter(b, n); });
        CheckPart([&](char* b, int n) { t->MMID(b, n); });
        CheckPart([&](char* b, int n) { t->SubscribeSymbol(b, n); });
        CheckPart([&](char* b, int n) { t->PublishSymbol(b, n); });
        short type;
        char source;
        double size1;
        t->SubscribeSymbolType(type);
        t->DepthSource(source);
        t->DepthStreamSize(size1);
        t->DepthStreamFarSize(size1);
        CheckPointer(t->m_szSymbol, t->m_iSymbolLength, text);
        CheckPointer(t->m_szPortfolio, t->m_iPortfolioLength, text);
        CheckPointer(t->m_szFilter, t->m_iFilterLength, text);
        CheckPointer(t->m_szMMID, t->m_iMMIDLength, text);
        CheckPointer(t->m_szUser, t->m_iUserLength, text);
        CheckPointer(t->m_szPublishSymbol, t->m_iPublishSymbolLength, text);
    }
    CSymTopic::IsDelimTopic(text.c_str());
    CSymTopicBuilders::IsTopicWithSize(text.c_str());
    CSymTopic::GetTopicTypeFromStr(text.c_str());

    // The topic description form, as read from a symbol information file.
    std::string info = text;
    char szTopic[CSymTopicBuilders::TOPIC_SIZE + 8];
    memset(szTopic, 'x', sizeof szTopic);
    char* pSymbol = nullptr;
    CSymTopicBuilders::ParseTopicInfo(&info[0], szTopic, &pSymbol);
    FUZZ_CHECK(memchr(szTopic, 0, CSymTopicBuilders::TOPIC_SIZE) != nullptr);
    FUZZ_CHECK(szTopic[CSymTopicBuilders::TOPIC_SIZE] == 'x');
    if (pSymbol != nullptr) {
        FUZZ_CHECK(pSymbol == szTopic ||
                   (pSymbol >= info.data() && pSymbol <= info.data() + info.size()));
    }
    return 0;
}
