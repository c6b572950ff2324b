// CSymConnection: the topic builders offered as members, with source names
// converted through the source table and string-returning forms.
#include <cstring>

#include "qrx/client/sym_connection.h"
#include "qrx/marketdata/topic_builders.h"
#include "qrx/runtime/source_map.h"

namespace {

// The one-character source code of a source name; 0 for an unknown name.
char SourceCode(const char* sourceName) {
    if (sourceName == nullptr) {
        return 0;
    }
    const unsigned number = KoDefaultSource::SourceMap::GetInstance().ToEnum(sourceName);
    return number <= 0xFF ? static_cast<char>(number) : 0;
}

// The string-returning forms: fill(text, size) writes a topic into a zeroed
// area, whose text (empty when nothing was written) is returned.
template <typename Fill>
std::string TopicString(Fill fill) {
    char text[CSymConnection::TOPIC_AREA_LEN] = {};
    fill(text, sizeof text);
    return text;
}

void ClearTopic(char* topic, size_t size) {
    if (topic != nullptr && size > 0) {
        topic[0] = '\0';
    }
}

}  // namespace

// ---------------------------------------------------------------- depth

int CSymConnection::CreateDepthTopic(const char* symbol, char source, char* topic,
                                     size_t topicSize) {
    return CSymTopicBuilders::CreateDepthTopic(symbol, source, topic, topicSize);
}

int CSymConnection::CreateDepthTopic(const char* symbol, const char* sourceName, char* topic,
                                     size_t topicSize) {
    const char source = SourceCode(sourceName);
    if (source == 0) {
        ClearTopic(topic, topicSize);
        return 0;
    }
    return CreateDepthTopic(symbol, source, topic, topicSize);
}

std::string CSymConnection::CreateDepthTopic(const char* symbol, char source) {
    return TopicString(
        [&](char* text, size_t size) { CreateDepthTopic(symbol, source, text, size); });
}

std::string CSymConnection::CreateDepthTopic(const char* symbol, const char* sourceName) {
    return TopicString(
        [&](char* text, size_t size) { CreateDepthTopic(symbol, sourceName, text, size); });
}

// ---------------------------------------------------------------- portfolio

int CSymConnection::CreatePortSymbolTopic(const char* portfolio, const char* symbol, char* topic,
                                          size_t topicSize) {
    return CSymTopicBuilders::CreatePortSymbolTopic(portfolio, symbol, topic, topicSize);
}

std::string CSymConnection::CreatePortSymbolTopic(const char* portfolio, const char* symbol) {
    return TopicString(
        [&](char* text, size_t size) { CreatePortSymbolTopic(portfolio, symbol, text, size); });
}

// ---------------------------------------------------------------- direct feed

bool CSymConnection::CreateDirectFeedTopic(char* topic, const char* symbol, char source,
                                           size_t length) {
    return CSymTopicBuilders::CreateDirectFeedTopic(topic, symbol, source, length);
}

bool CSymConnection::CreateDirectFeedTopic(char* topic, const char* symbol, const char* sourceName,
                                           size_t length) {
    const char source = SourceCode(sourceName);
    return source != 0 && CreateDirectFeedTopic(topic, symbol, source, length);
}

std::string CSymConnection::CreateDirectFeedTopic(const char* symbol, char source) {
    return TopicString(
        [&](char* text, size_t size) { CreateDirectFeedTopic(text, symbol, source, size); });
}

std::string CSymConnection::CreateDirectFeedTopic(const char* symbol, const char* sourceName) {
    return TopicString(
        [&](char* text, size_t size) { CreateDirectFeedTopic(text, symbol, sourceName, size); });
}

// ---------------------------------------------------------------- greeks

int CSymConnection::CreateGreekTopic(const char* symbol, char* topic, size_t topicSize) {
    return CSymTopicBuilders::CreateGreekTopic(symbol, topic, topicSize);
}

std::string CSymConnection::CreateGreekTopic(const char* symbol) {
    return TopicString([&](char* text, size_t size) { CreateGreekTopic(symbol, text, size); });
}

// ---------------------------------------------------------------- market maker

bool CSymConnection::CreateMMIDTopic(const char* symbol, char source, const char* mmid, char* topic,
                                     int length) {
    return CSymTopicBuilders::CreateMMIDTopic(symbol, source, mmid, topic, length);
}

bool CSymConnection::CreateMMIDTopic(const char* symbol, const char* sourceName, const char* mmid,
                                     char* topic, int length) {
    const char source = SourceCode(sourceName);
    return source != 0 && CreateMMIDTopic(symbol, source, mmid, topic, length);
}

std::string CSymConnection::CreateMMIDTopic(const char* symbol, char source, const char* mmid) {
    return TopicString([&](char* text, size_t size) {
        CreateMMIDTopic(symbol, source, mmid, text, static_cast<int>(size));
    });
}

std::string CSymConnection::CreateMMIDTopic(const char* symbol, const char* sourceName,
                                            const char* mmid) {
    return TopicString([&](char* text, size_t size) {
        CreateMMIDTopic(symbol, sourceName, mmid, text, static_cast<int>(size));
    });
}

// ---------------------------------------------------------------- users

int CSymConnection::CreateSymbolRiskUserTopic(const char* symbol, const char* user, char* topic,
                                              size_t topicSize) {
    return CSymTopicBuilders::CreateSymbolRiskUserTopic(symbol, user, topic, topicSize);
}

std::string CSymConnection::CreateSymbolRiskUserTopic(const char* symbol, const char* user) {
    return TopicString(
        [&](char* text, size_t size) { CreateSymbolRiskUserTopic(symbol, user, text, size); });
}

int CSymConnection::CreateSymbolOptionUserTopic(const char* symbol, const char* user, char* topic,
                                                size_t topicSize) {
    return CSymTopicBuilders::CreateSymbolOptionUserTopic(symbol, user, topic, topicSize);
}

std::string CSymConnection::CreateSymbolOptionUserTopic(const char* symbol, const char* user) {
    return TopicString(
        [&](char* text, size_t size) { CreateSymbolOptionUserTopic(symbol, user, text, size); });
}

// ---------------------------------------------------------------- alias

bool CSymConnection::CreateSymbolAliasTopic(const char* subscribeSymbol, const char* publishSymbol,
                                            char* topic, int length, short symbolType) {
    return CSymTopicBuilders::CreateSymbolAliasTopic(subscribeSymbol, publishSymbol, topic, length,
                                                     symbolType);
}

std::string CSymConnection::CreateSymbolAliasTopic(const char* subscribeSymbol,
                                                   const char* publishSymbol, short symbolType) {
    return TopicString([&](char* text, size_t size) {
        CreateSymbolAliasTopic(subscribeSymbol, publishSymbol, text, static_cast<int>(size),
                               symbolType);
    });
}
