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

// A zeroed topic area for the string-returning forms.
struct TopicArea {
    char text[CSymConnection::TOPIC_AREA_LEN] = {};
};

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
    TopicArea area;
    CreateDepthTopic(symbol, source, area.text, sizeof area.text);
    return area.text;
}

std::string CSymConnection::CreateDepthTopic(const char* symbol, const char* sourceName) {
    TopicArea area;
    CreateDepthTopic(symbol, sourceName, area.text, sizeof area.text);
    return area.text;
}

// ---------------------------------------------------------------- portfolio

int CSymConnection::CreatePortSymbolTopic(const char* portfolio, const char* symbol, char* topic,
                                          size_t topicSize) {
    return CSymTopicBuilders::CreatePortSymbolTopic(portfolio, symbol, topic, topicSize);
}

std::string CSymConnection::CreatePortSymbolTopic(const char* portfolio, const char* symbol) {
    TopicArea area;
    CreatePortSymbolTopic(portfolio, symbol, area.text, sizeof area.text);
    return area.text;
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
    TopicArea area;
    CreateDirectFeedTopic(area.text, symbol, source, sizeof area.text);
    return area.text;
}

std::string CSymConnection::CreateDirectFeedTopic(const char* symbol, const char* sourceName) {
    TopicArea area;
    CreateDirectFeedTopic(area.text, symbol, sourceName, sizeof area.text);
    return area.text;
}

// ---------------------------------------------------------------- greeks

int CSymConnection::CreateGreekTopic(const char* symbol, char* topic, size_t topicSize) {
    return CSymTopicBuilders::CreateGreekTopic(symbol, topic, topicSize);
}

std::string CSymConnection::CreateGreekTopic(const char* symbol) {
    TopicArea area;
    CreateGreekTopic(symbol, area.text, sizeof area.text);
    return area.text;
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
    TopicArea area;
    CreateMMIDTopic(symbol, source, mmid, area.text, static_cast<int>(sizeof area.text));
    return area.text;
}

std::string CSymConnection::CreateMMIDTopic(const char* symbol, const char* sourceName,
                                            const char* mmid) {
    TopicArea area;
    CreateMMIDTopic(symbol, sourceName, mmid, area.text, static_cast<int>(sizeof area.text));
    return area.text;
}

// ---------------------------------------------------------------- users

int CSymConnection::CreateSymbolRiskUserTopic(const char* symbol, const char* user, char* topic,
                                              size_t topicSize) {
    return CSymTopicBuilders::CreateSymbolRiskUserTopic(symbol, user, topic, topicSize);
}

std::string CSymConnection::CreateSymbolRiskUserTopic(const char* symbol, const char* user) {
    TopicArea area;
    CreateSymbolRiskUserTopic(symbol, user, area.text, sizeof area.text);
    return area.text;
}

int CSymConnection::CreateSymbolOptionUserTopic(const char* symbol, const char* user, char* topic,
                                                size_t topicSize) {
    return CSymTopicBuilders::CreateSymbolOptionUserTopic(symbol, user, topic, topicSize);
}

std::string CSymConnection::CreateSymbolOptionUserTopic(const char* symbol, const char* user) {
    TopicArea area;
    CreateSymbolOptionUserTopic(symbol, user, area.text, sizeof area.text);
    return area.text;
}

// ---------------------------------------------------------------- alias

bool CSymConnection::CreateSymbolAliasTopic(const char* subscribeSymbol, const char* publishSymbol,
                                            char* topic, int length, short symbolType) {
    return CSymTopicBuilders::CreateSymbolAliasTopic(subscribeSymbol, publishSymbol, topic, length,
                                                     symbolType);
}

std::string CSymConnection::CreateSymbolAliasTopic(const char* subscribeSymbol,
                                                   const char* publishSymbol, short symbolType) {
    TopicArea area;
    CreateSymbolAliasTopic(subscribeSymbol, publishSymbol, area.text,
                           static_cast<int>(sizeof area.text), symbolType);
    return area.text;
}
