// The Sym listener driven through a real client connection by a scripted
// symbol server on loopback, and, for the bounds of raw bodies, by messages
// handed over in buffers of exactly their length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/sym_listener_server.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/wire/net_stream.h"
#include "qrx/wire/response.h"
#include "qrx/wire/sym_msgs.h"

using namespace listenertest;

namespace {

const char SEP = CSymTopic::m_cDelimiter;

// What one update or snapshot callback saw, copied during the call.
struct Seen {
    std::string topic;       // the text form's topic, or the topic object's symbol
    std::string topicField;  // the record's topic field
    bool hasTopicField = false;
    int topicType = -1;  // the topic object's type; -1 for the text form
    std::string filter;
    double bid = 0;
};

// Records every callback as a line of text, in order.
class RecordingListener : public CSymListener {
public:
    using CSymListener::OnData;
    using CSymListener::OnSnapshotData;

    std::vector<std::string> events;
    std::vector<Seen> seen;
    std::vector<CResponse> responses;
    std::vector<QuorCOB::CCOBMsg> cobMsgs;
    std::vector<unsigned> clientIds;  // the connection's client id at each status
    int closes = 0;

    void OnData(const char* topic, const CSymData* data) override {
        Record("data:", topic, nullptr, data);
    }
    void OnData(const CSymTopic* topic, const CSymData* data) override {
        Record("tdata:", nullptr, topic, data);
    }
    void OnStartSnapshots() override { events.push_back("snapstart"); }
    void OnEndSnapshots() override { events.push_back("snapend"); }
    void OnSnapshotData(const char* topic, const CSymData* data) override {
        Record("snap:", topic, nullptr, data);
    }
    void OnSnapshotData(const CSymTopic* topic, const CSymData* data) override {
        Record("tsnap:", nullptr, topic, data);
    }
    void OnSymbolStatus(const char* topic, const char* message, enSymStatusCode code) override {
        events.push_back("symstatus:" + std::to_string(code) + ":" + topic + ":" + message);
    }
    void OnStatus(enSymStatusCode code, const char* text) override {
        events.push_back("status:" + std::to_string(code) + ":" + text);
        if (GetSymConnection() != nullptr) {
            clientIds.push_back(GetSymConnection()->GetCmdClientId());
        }
    }
    void OnResponse(CResponse* response) override {
        events.push_back("response:" + response->GetCmdName());
        responses.push_back(*response);
    }
    void OnEndTickGroupRead() override { events.push_back("endtick"); }
    void OnCOBMsg(QuorCOB::CCOBMsg* msg) override {
        events.push_back(std::string("cob:") + msg->m_sUnderlying.c_str());
        cobMsgs.push_back(*msg);
    }
    void OnCOBStatus(QuorCOB::CCOBStatus* status) override {
        events.push_back("cobstatus:" + std::to_string(status->m_nId) + ":" +
                         status->m_sStatus.c_str());
    }
    void OnCreateCOBRequest(QuorCOB::CCOBRequest* request) override {
        events.push_back("cobrequest:" + std::to_string(request->m_nId) + ":" +
                         request->m_sTopic.c_str() + ":" +
                         std::to_string(request->m_vecFilters.size()));
    }
    void OnConnectionClose(CApiConnection*) override {
        ++closes;
        events.push_back("close");
    }

    bool Has(const std::string& event) const {
        for (const std::string& e : events) {
            if (e == event) {
                return true;
            }
        }
        return false;
    }

private:
    void Record(const char* kind, const char* text, const CSymTopic* topic, const CSymData* data) {
        Seen s;
        if (topic != nullptr) {
            char sym[128];
            topic->Symbol(sym, sizeof sym);
            s.topic = sym;
            s.topicType = topic->Type();
            char filter[128];
            topic->Filter(filter, sizeof filter);
            s.filter = filter;
            events.push_back(kind + std::to_string(s.topicType) + ":" + s.topic);
        } else {
            s.topic = text;
            events.push_back(kind + s.topic);
        }
        GrowingStr t;
        s.hasTopicField = CSymListener::GetString(data, CSymData::flid_topic, t);
        s.topicField = t.c_str();
        CSymListener::GetDouble(data, CSymData::flid_bid, s.bid);
        seen.push_back(s);
    }
};

// A client connected to a scripted server, with a recording listener.
struct Session {
    explicit Session(std::vector<Bytes> script, bool bCloseAfter = false, const char* user = "user",
                     const char* password = "secret")
        : server(std::move(script), bCloseAfter) {
        if (server.Ok() && conn.Connect("127.0.0.1", server.Port(), user, password)) {
            conn.AddClient(&listener);
            connected = true;
        }
    }
    ~Session() { conn.RemoveClient(&listener); }

    // Dispatches until the event has been recorded.
    bool PumpFor(const std::string& event) {
        return PumpUntil(conn, [this, event] { return listener.Has(event); });
    }

    ScriptedSymServer server;
    CSymConnection conn{nullptr};
    RecordingListener listener;
    bool connected = false;
};

// The last message of a script: once it is seen, all before it were handled.
const char* kSentinel = "status:0:end";
Bytes Sentinel() {
    return StatusFrame(SYM_STATUS_LOGIN_ACCEPTED, "end");
}

Bytes Bodies(std::initializer_list<CSymData> records) {
    Bytes b;
    for (const CSymData& r : records) {
        b += RecordBody(r);
    }
    return b;
}

template <typename T>
Bytes CobBytes(const std::vector<T>& records) {
    CNetStream out(true, 1024, 1024);
    for (const T& r : records) {
        QuorCOB::write_cob(out, r);
    }
    return StreamBytes(out);
}

std::vector<std::string> Without(const std::vector<std::string>& events, const char* drop) {
    std::vector<std::string> kept;
    for (const std::string& e : events) {
        if (e != drop) {
            kept.push_back(e);
        }
    }
    return kept;
}

}  // namespace

// ---- market data ----

TEST(SymListenerTest, shouldDeliverUpdatesWithTheSymbolStandingInForAMissingTopic) {
    const std::string depth = std::string("1") + SEP + "78" + SEP + "XYZ";
    const std::string filtered = std::string("3") + SEP + "F1" + SEP + depth;
    Session s(
        {RawFrame(CM_SYM_DATA, SYM_DATA_UPDATE,
                  Bodies({MakeRecord("AAA", "A", 1.0), MakeRecord(nullptr, "ABC", 2.0),
                          MakeRecord("CCC", "C", 3.0)})),
         RawFrame(CM_SYM_DATA, SYM_DATA_UPDATE, ""),
         RawFrame(
             CM_SYM_DATA, SYM_DATA_UPDATE,
             Bodies({MakeRecord(nullptr, nullptr, 4.0), MakeRecord(depth.c_str(), "Q", 5.0),
                     MakeRecord(filtered.c_str(), nullptr, 6.0), MakeRecord("XYZ", "XYZ", 7.0)})),
         Sentinel()});
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.PumpFor(kSentinel));

    const std::vector<std::string> expected = {
        "data:AAA", "data:ABC",    "data:CCC",    "endtick",  // three records, the second by symbol
        "endtick",                                            // the empty body
        "data:",    "tdata:1:XYZ", "tdata:1:XYZ", "data:XYZ", "endtick", kSentinel};
    EXPECT_EQ(expected, s.listener.events);

    const std::vector<Seen>& seen = s.listener.seen;
    ASSERT_EQ(7u, seen.size());
    EXPECT_TRUE(seen[1].hasTopicField);
    EXPECT_EQ("ABC", seen[1].topicField);
    EXPECT_EQ(2.0, seen[1].bid);
    // Neither topic nor symbol: the empty text is the topic and is stored.
    EXPECT_TRUE(seen[3].hasTopicField);
    EXPECT_EQ("", seen[3].topicField);
    EXPECT_EQ(4.0, seen[3].bid);
    EXPECT_EQ(depth, seen[4].topicField);
    EXPECT_EQ(5.0, seen[4].bid);
    EXPECT_EQ("F1", seen[5].filter);
    EXPECT_EQ(filtered, seen[5].topicField);
    EXPECT_EQ(7.0, seen[6].bid);
}

TEST(SymListenerTest, shouldDeliverSnapshotsBetweenTheirMarkersAndSkipRecordsWithoutTopic) {
    const std::string depth = std::string("1") + SEP + "78" + SEP + "XYZ";
    Session s({RawFrame(CM_SYM_DATA, SYM_DATA_SNAPSHOT_START, ""),
               RawFrame(CM_SYM_DATA, SYM_DATA_SNAPSHOT,
                        Bodies({MakeRecord("T1", "S1", 1.0), MakeRecord(nullptr, "SYM", 2.0),
                                MakeRecord(depth.c_str(), nullptr, 3.0)})),
               RawFrame(CM_SYM_DATA, SYM_DATA_SNAPSHOT, ""),
               RawFrame(CM_SYM_DATA, SYM_DATA_SNAPSHOT_END, ""), Sentinel()});
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.PumpFor(kSentinel));

    const std::vector<std::string> expected = {"snapstart", "snap:T1", "tsnap:1:XYZ", "snapend",
                                               kSentinel};
    EXPECT_EQ(expected, s.listener.events);
    ASSERT_EQ(2u, s.listener.seen.size());
    EXPECT_EQ(1.0, s.listener.seen[0].bid);
    EXPECT_EQ(3.0, s.listener.seen[1].bid);
}

// ---- status ----

TEST(SymListenerTest, shouldReportConnectionAndSubscriptionStatusAndIgnoreOtherSubTypes) {
    const std::string longTopic(200, 't');
    const std::string longMessage(1100, 'm');
    Session s({StatusFrame(SYM_STATUS_LOGIN_ACCEPTED, ""),
               StatusFrame(SYM_STATUS_SOURCE_DOWN, "feed A down"),
               StatusFrame(SYM_STATUS_SOURCE_RESTORED, "feed A back"),
               StatusFrame(SYM_STATUS_LOGIN_REFUSED, "no"),
               SubStatusFrame(SYM_SUB_STATUS_ERROR, "IBM", "unknown symbol"),
               SubStatusFrame(SYM_SUB_STATUS_PENDING, longTopic.c_str(), longMessage.c_str()),
               // Ignored: other sub-types, the heartbeat notice, unknown types.
               StatusFrame(3, "ignored"), SubStatusFrame(2, "X", "ignored"),
               RawFrame(CM_SYM_DATA, 1, Bodies({MakeRecord("AAA", nullptr, 1.0)})),
               Frame(MsgHdrSym::HDR_TYPE, CM_SYM_HEARTBEAT_NOTICE, SYM_HEARTBEAT_NOTICE,
                     Bytes("\0\x13", 2) + "Heart Beat Message."),
               Frame(MsgHdrSym::HDR_TYPE, 26, 0, ""), Frame(MsgHdrSym::HDR_TYPE, 30000, 0, ""),
               Sentinel()});
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.PumpFor(kSentinel));

    const std::vector<std::string> expected = {
        "status:0:",
        "status:2:feed A down",
        "status:3:feed A back",
        "status:1:no",
        "symstatus:5:IBM:unknown symbol",
        "symstatus:4:" + longTopic.substr(0, 127) + ":" + longMessage.substr(0, 1055),
        kSentinel};
    EXPECT_EQ(expected, s.listener.events);
}

TEST(SymListenerTest, shouldReportARefusedLogonAndThenTheServerClosing) {
    Session s({StatusFrame(SYM_STATUS_LOGIN_REFUSED, "Bad password")}, true, "alice", "wrong");
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.PumpFor("close"));

    const std::vector<std::string> expected = {"status:1:Bad password", "close"};
    EXPECT_EQ(expected, s.listener.events);
    ASSERT_TRUE(s.server.WaitScriptWritten(5000));
    ASSERT_TRUE(s.server.GotLogon());
    EXPECT_STREQ("alice", s.server.Logon().username);
    EXPECT_STREQ("wrong", s.server.Logon().password);
    EXPECT_EQ(-1, s.conn.DispatchEvents());
    EXPECT_EQ(1, s.listener.closes);
}

// ---- responses ----

TEST(SymListenerTest, shouldPutResponsesInPartsTogetherAndDeliverWholeAndLoneLastParts) {
    CResponse big("BIG");
    big.SetCmdId(7, 1);
    big.SetIntParam("count", 40);
    for (int i = 0; i < 40; ++i) {
        big.SetStringParam(("text" + std::to_string(100 + i)).c_str(),
                           std::string(1000, static_cast<char>('a' + i % 26)).c_str());
    }
    const std::vector<Bytes> parts = ResponseFrames(big);
    ASSERT_EQ(3u, parts.size());
    for (size_t i = 0; i < 3; ++i) {
        const short sub = static_cast<short>(static_cast<unsigned char>(parts[i][6]) << 8 |
                                             static_cast<unsigned char>(parts[i][7]));
        EXPECT_EQ(17 + static_cast<short>(i), sub);
    }

    CResponse whole("WHOLE");
    whole.SetCmdId(7, 2);
    whole.SetDoubleParam("px", 1.5);
    CResponse lonePart("LONE");
    lonePart.SetCmdId(7, 3);
    lonePart.SetCharParam("side", 'B');
    const std::vector<Bytes> wholeFrames = ResponseFrames(whole);
    ASSERT_EQ(1u, wholeFrames.size());
    Bytes lastOnly = ResponseFrames(lonePart)[0];
    lastOnly[7] = 19;  // a last part whose earlier parts never came

    Session s({parts[0], wholeFrames[0], parts[1], parts[2], lastOnly, Sentinel()});
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.PumpFor(kSentinel));

    const std::vector<std::string> expected = {"response:WHOLE", "response:BIG", "response:LONE",
                                               kSentinel};
    EXPECT_EQ(expected, s.listener.events);
    ASSERT_EQ(3u, s.listener.responses.size());
    const CResponse& merged = s.listener.responses[1];
    EXPECT_EQ(big.GetCmdId(), merged.GetCmdId());
    EXPECT_EQ(1u, merged.IntParams().size());
    EXPECT_EQ(40u, merged.StringParams().size());
    EXPECT_EQ(std::string(1000, 'a' + 39 % 26), merged.GetStringParam("text139"));
    double px = 0;
    EXPECT_TRUE(s.listener.responses[0].GetDoubleParam("px", px));
    EXPECT_EQ(1.5, px);
    char side = 0;
    EXPECT_TRUE(s.listener.responses[2].GetCharParam("side", side));
    EXPECT_EQ('B', side);
    EXPECT_EQ(0u, s.listener.PendingResponseCount());
}

TEST(SymListenerTest, shouldKeepABoundedNumberOfIncompleteResponsesDroppingTheOldest) {
    const int n = static_cast<int>(CSymListener::MAX_PENDING_RESPONSES) + 2;
    std::vector<Bytes> script;
    auto part = [](int id, short sub, const char* param) {
        CResponse r("R");
        r.SetCmdId(1, static_cast<unsigned short>(id));
        r.SetIntParam(param, id);
        Bytes f = ResponseFrames(r)[0];
        f[7] = static_cast<char>(sub);
        return f;
    };
    for (int id = 1; id <= n; ++id) {
        script.push_back(part(id, 17, "first"));
    }
    script.push_back(part(1, 19, "last"));  // its first part was dropped
    script.push_back(part(n, 19, "last"));  // still kept: merged
    script.push_back(Sentinel());

    testing::internal::CaptureStderr();
    Session s(script);
    const bool pumped = s.connected && s.PumpFor(kSentinel);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(pumped);

    ASSERT_EQ(2u, s.listener.responses.size());
    int v = 0;
    EXPECT_FALSE(s.listener.responses[0].GetIntParam("first", v));
    EXPECT_TRUE(s.listener.responses[0].GetIntParam("last", v));
    EXPECT_TRUE(s.listener.responses[1].GetIntParam("first", v));
    EXPECT_TRUE(s.listener.responses[1].GetIntParam("last", v));
    EXPECT_EQ(CSymListener::MAX_PENDING_RESPONSES - 1, s.listener.PendingResponseCount());
    EXPECT_NE(std::string::npos, err.find("Dropped the incomplete response for command id " +
                                          std::to_string(1u | (1u << 16))));
    EXPECT_NE(std::string::npos, err.find("Dropped the incomplete response for command id " +
                                          std::to_string(1u | (2u << 16))));
}

TEST(SymListenerTest, shouldDropAResponsePastItsPartOrByteBoundWithTheRestOfItsParts) {
    auto part = [](const char* name, int request, short sub, const std::string& param, size_t n) {
        CResponse r(name);
        r.SetCmdId(1, static_cast<unsigned short>(request));
        r.SetStringParam(param.c_str(), std::string(n, 'v').c_str());
        Bytes f = ResponseFrames(r)[0];
        f[7] = static_cast<char>(sub);
        return f;
    };
    std::vector<Bytes> script;
    // Too many parts, small ones; then the same id again, right at the bound.
    for (int round = 0; round < 2; ++round) {
        const int n = CSymListener::MAX_RESPONSE_PARTS + (round == 0 ? 1 : 0);
        script.push_back(part("MANY", 1, 17, "p0", 1));
        for (int i = 1; i < n - 1; ++i) {
            script.push_back(part("MANY", 1, 18, "p" + std::to_string(i), 1));
        }
        script.push_back(part("MANY", 1, 19, "last", 1));
    }
    // Too many bytes in few parts; its parts after the drop go with it.
    const size_t nPartBytes = 15000;
    const int nBig = static_cast<int>(CSymListener::MAX_RESPONSE_BYTES / nPartBytes) + 1;
    script.push_back(part("HUGE", 2, 17, "p0", nPartBytes));
    for (int i = 1; i < nBig; ++i) {
        script.push_back(part("HUGE", 2, 18, "p" + std::to_string(i), nPartBytes));
    }
    script.push_back(part("HUGE", 2, 18, "more", 1));
    script.push_back(part("HUGE", 2, 19, "last", 1));
    script.push_back(Sentinel());

    testing::internal::CaptureStderr();
    Session s(script);
    const bool pumped = s.connected && s.PumpFor(kSentinel);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(pumped);

    EXPECT_EQ((std::vector<std::string>{"response:MANY", kSentinel}), s.listener.events);
    ASSERT_EQ(1u, s.listener.responses.size());
    EXPECT_EQ(static_cast<size_t>(CSymListener::MAX_RESPONSE_PARTS),
              s.listener.responses[0].StringParams().size());
    EXPECT_EQ(0u, s.listener.PendingResponseCount());
    const std::string many = std::to_string(1u | (1u << 16));
    const std::string huge = std::to_string(1u | (2u << 16));
    EXPECT_NE(std::string::npos,
              err.find("Dropped the response for command id " + many + ": more than 128 parts"))
        << err;
    EXPECT_NE(std::string::npos, err.find("Dropped the response for command id " + huge +
                                          ": more than 128 parts or 1048576 bytes"))
        << err;
}

TEST(SymListenerTest, shouldKeepTheResponsesInProgressWithinTheirByteBoundDroppingTheOldest) {
    auto part = [](int request, short sub, const std::string& param, size_t n) {
        CResponse r("BIG");
        r.SetCmdId(1, static_cast<unsigned short>(request));
        r.SetStringParam(param.c_str(), std::string(n, 'v').c_str());
        Bytes f = ResponseFrames(r)[0];
        f[7] = static_cast<char>(sub);
        return f;
    };
    // Responses just under their own bound, none of them finished.
    const size_t nPartBytes = 15000;
    const int nParts = static_cast<int>(CSymListener::MAX_RESPONSE_BYTES / nPartBytes) - 1;
    const int nResponses = 24;
    std::vector<Bytes> script;
    for (int request = 1; request <= nResponses; ++request) {
        script.push_back(part(request, 17, "p0", nPartBytes));
        for (int i = 1; i < nParts; ++i) {
            script.push_back(part(request, 18, "p" + std::to_string(i), nPartBytes));
        }
    }
    script.push_back(Sentinel());
    // Then the last parts of the newest and of the oldest.
    script.push_back(part(nResponses, 19, "last", 1));
    script.push_back(part(1, 19, "last", 1));
    script.push_back(StatusFrame(SYM_STATUS_LOGIN_ACCEPTED, "after"));

    testing::internal::CaptureStderr();
    Session s(script);
    const bool pumped = s.connected && s.PumpFor("status:0:after");
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(pumped);

    // What is kept stays within the bound, the oldest going first.
    EXPECT_LE(s.listener.PendingResponseBytes(), CSymListener::MAX_PENDING_RESPONSE_BYTES);
    size_t dropped = 0;
    for (size_t at = 0; (at = err.find("Dropped the incomplete response", at)) != std::string::npos;
         ++at) {
        ++dropped;
    }
    EXPECT_GT(dropped, 0u);
    EXPECT_NE(std::string::npos,
              err.find("Dropped the incomplete response for command id " +
                       std::to_string(1u | (1u << 16)) +
                       ": the responses awaiting their last part hold more than 16777216 bytes"))
        << err;
    // The newest came whole; the oldest, dropped, ends as a lone last part.
    ASSERT_EQ(2u, s.listener.responses.size());
    EXPECT_EQ(static_cast<size_t>(nParts) + 1, s.listener.responses[0].StringParams().size());
    EXPECT_EQ(1u, s.listener.responses[1].StringParams().size());
    EXPECT_EQ(static_cast<size_t>(nResponses) - dropped - 1, s.listener.PendingResponseCount());
}

// ---- client id and order books ----

TEST(SymListenerTest, shouldStoreTheClientIdInItsConnectionAndPrintIt) {
    testing::internal::CaptureStdout();
    Session s({StatusFrame(SYM_STATUS_LOGIN_ACCEPTED, ""), ClientIdFrame(4242),
               StatusFrame(SYM_STATUS_SOURCE_DOWN, ""), ClientIdFrame(0xFFFF), Sentinel()});
    const bool pumped = s.connected && s.PumpFor(kSentinel);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(pumped);

    EXPECT_EQ(&s.conn, s.listener.GetSymConnection());
    const std::vector<unsigned> ids = {0, 4242, 0xFFFF};
    EXPECT_EQ(ids, s.listener.clientIds);
    EXPECT_EQ("Set Sym-Client connection id as 4242\nSet Sym-Client connection id as 65535\n", out);
}

TEST(SymListenerTest, shouldHandOrderBookMessagesStatusesAndRequestsRecordByRecord) {
    QuorCOB::CCOBMsg m1;
    m1.m_sUnderlying = "IBM";
    m1.m_eMsgType = QuorCOB::CCOBMsg::COB_MSG_TYPE_SNAPSHOT;
    QuorCOB::CCOBInfo info;
    info.m_nId = 5;
    info.m_sDescription = "spread";
    m1.m_mapInfo.emplace(5, info);
    QuorCOB::CCOBData data;
    data.m_nId = 5;
    data.m_dblBidPrice = 1.25;
    data.m_nBidSize = 10;
    m1.m_mapData.emplace(5, data);
    m1.m_setIds = {1, 2};
    QuorCOB::CCOBMsg m2;
    m2.m_sUnderlying = "MSFT";
    m2.m_eMsgType = QuorCOB::CCOBMsg::COB_MSG_TYPE_UPDATE;

    QuorCOB::CCOBStatus st1;
    st1.m_nId = 7;
    st1.m_sStatus = "ok";
    QuorCOB::CCOBStatus st2;
    st2.m_nId = 8;
    st2.m_sStatus = "refused";

    QuorCOB::CCOBRequest req;
    req.m_nId = 9;
    req.m_nClosure = 0;
    req.m_sTopic = "BOOK";
    req.m_vecFilters.resize(2);

    Session s({RawFrame(CM_SYM_COB_DATA, 0, CobBytes(std::vector<QuorCOB::CCOBMsg>{m1, m2})),
               RawFrame(CM_SYM_COB_STATUS, 3, CobBytes(std::vector<QuorCOB::CCOBStatus>{st1, st2})),
               RawFrame(CM_SYM_COB_CREATE, 0, CobBytes(std::vector<QuorCOB::CCOBRequest>{req})),
               Sentinel()});
    ASSERT_TRUE(s.connected);
    ASSERT_TRUE(s.PumpFor(kSentinel));

    const std::vector<std::string> expected = {
        "cob:IBM", "cob:MSFT", "cobstatus:7:ok", "cobstatus:8:refused", "cobrequest:9:BOOK:2",
        kSentinel};
    EXPECT_EQ(expected, s.listener.events);
    ASSERT_EQ(2u, s.listener.cobMsgs.size());
    const QuorCOB::CCOBMsg& got = s.listener.cobMsgs[0];
    EXPECT_EQ(QuorCOB::CCOBMsg::COB_MSG_TYPE_SNAPSHOT, got.m_eMsgType);
    ASSERT_EQ(1u, got.m_mapData.count(5));
    EXPECT_EQ(1.25, got.m_mapData.at(5).m_dblBidPrice);
    EXPECT_EQ(10, got.m_mapData.at(5).m_nBidSize);
    EXPECT_STREQ("spread", got.m_mapInfo.at(5).m_sDescription.c_str());
    EXPECT_EQ((std::set<int>{1, 2}), got.m_setIds);
}

// ---- a listener destroyed by its own callback ----

// Deletes itself in the callback named by its kind ("data", "snap", "cob",
// "cobstatus"), the first time one comes; what it saw goes to a log that
// outlives it.
class SelfDeletingListener : public CSymListener {
public:
    using CSymListener::OnData;
    using CSymListener::OnSnapshotData;

    SelfDeletingListener(std::string kind, std::vector<std::string>& log)
        : m_kind(std::move(kind)), m_log(log) {}

    void OnData(const char* topic, const CSymData*) override { Seen("data", topic); }
    void OnSnapshotData(const char* topic, const CSymData*) override { Seen("snap", topic); }
    void OnEndTickGroupRead() override { m_log.push_back(m_kind + " endtick"); }
    void OnCOBMsg(QuorCOB::CCOBMsg* msg) override { Seen("cob", msg->m_sUnderlying.c_str()); }
    void OnCOBStatus(QuorCOB::CCOBStatus* status) override {
        Seen("cobstatus", status->m_sStatus.c_str());
    }

private:
    void Seen(const std::string& what, const char* text) {
        m_log.push_back(m_kind + " " + what + ":" + text);
        if (what == m_kind) {
            delete this;
        }
    }

    std::string m_kind;
    std::vector<std::string>& m_log;
};

TEST(SymListenerTest, shouldReadNoFurtherForAListenerItsOwnCallbackDestroyed) {
    QuorCOB::CCOBMsg m1;
    m1.m_sUnderlying = "IBM";
    QuorCOB::CCOBMsg m2;
    m2.m_sUnderlying = "MSFT";
    QuorCOB::CCOBStatus st1;
    st1.m_nId = 7;
    st1.m_sStatus = "ok";
    QuorCOB::CCOBStatus st2 = st1;
    st2.m_sStatus = "refused";
    const Bytes ticks = RawFrame(
        CM_SYM_DATA, SYM_DATA_UPDATE,
        Bodies({MakeRecord("A", "A", 1.0), MakeRecord("B", "B", 2.0), MakeRecord("C", "C", 3.0)}));
    const Bytes snapshots =
        RawFrame(CM_SYM_DATA, SYM_DATA_SNAPSHOT,
                 Bodies({MakeRecord("A", "A", 1.0), MakeRecord("B", "B", 2.0)}));
    Session s({ticks, snapshots,
               RawFrame(CM_SYM_COB_DATA, 0, CobBytes(std::vector<QuorCOB::CCOBMsg>{m1, m2})),
               RawFrame(CM_SYM_COB_STATUS, 3, CobBytes(std::vector<QuorCOB::CCOBStatus>{st1, st2})),
               ticks, Sentinel()});
    ASSERT_TRUE(s.connected);
    std::vector<std::string> log;
    for (const char* kind : {"data", "snap", "cob", "cobstatus"}) {
        s.conn.AddClient(new SelfDeletingListener(kind, log));
    }
    ASSERT_TRUE(s.PumpFor(kSentinel));

    // Each saw the messages before its own kind and the first record of that
    // kind, and nothing after; the listener that stays saw everything.
    const std::vector<std::string> expected = {"data data:A",        "snap data:A",
                                               "snap data:B",        "snap data:C",
                                               "snap endtick",       "cob data:A",
                                               "cob data:B",         "cob data:C",
                                               "cob endtick",        "cobstatus data:A",
                                               "cobstatus data:B",   "cobstatus data:C",
                                               "cobstatus endtick",  "snap snap:A",
                                               "cob snap:A",         "cob snap:B",
                                               "cobstatus snap:A",   "cobstatus snap:B",
                                               "cob cob:IBM",        "cobstatus cob:IBM",
                                               "cobstatus cob:MSFT", "cobstatus cobstatus:ok"};
    std::vector<std::string> sorted = log;
    std::vector<std::string> want = expected;
    std::sort(sorted.begin(), sorted.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, sorted);
    EXPECT_EQ(Without(s.listener.events, "endtick"),
              (std::vector<std::string>{"data:A", "data:B", "data:C", "snap:A", "snap:B", "cob:IBM",
                                        "cob:MSFT", "cobstatus:7:ok", "cobstatus:7:refused",
                                        "data:A", "data:B", "data:C", kSentinel}));
}

// ---- malformed messages ----

TEST(SymListenerTest, shouldStopAtWhatCannotBeDecodedAndGoOnWithTheNextMessage) {
    const Bytes good = RecordBody(MakeRecord("AAA", nullptr, 1.0));
    const Bytes next = RecordBody(MakeRecord("BBB", nullptr, 2.0));
    // A record cut inside its last value.
    const Bytes cut = good + next.substr(0, next.size() - 1);
    // A count of 5 over a body with two values: the decoder runs out.
    Bytes lyingCount = next;
    lyingCount[1] = 5;
    // A string whose length runs past the body.
    CSymData s1;
    s1.SetFlidString(CSymData::flid_topic, "CCC");
    Bytes lyingString = RecordBody(s1);
    lyingString[lyingString.size() - 5] = 0x30;
    // A frame whose text field claims more than the frame holds.
    Bytes lyingFrame = RawFrame(CM_SYM_DATA, SYM_DATA_UPDATE, good);
    lyingFrame[8] = 0x7F;
    // A response cut after its name; order-book runs whose second record is cut.
    CResponse r("CUT");
    r.SetIntParam("a", 1);
    Bytes cutResponse = ResponseFrames(r)[0];
    cutResponse = cutResponse.substr(0, 8) + Bytes("\0\x0a", 2) + cutResponse.substr(10, 10);
    cutResponse[1] = static_cast<char>(cutResponse.size());
    QuorCOB::CCOBStatus st;
    st.m_nId = 3;
    st.m_sStatus = "ok";
    const Bytes statuses = CobBytes(std::vector<QuorCOB::CCOBStatus>{st, st});
    QuorCOB::CCOBMsg cm;
    cm.m_sUnderlying = "U";
    const Bytes cobs = CobBytes(std::vector<QuorCOB::CCOBMsg>{cm, cm});

    testing::internal::CaptureStderr();
    Session s({RawFrame(CM_SYM_DATA, SYM_DATA_UPDATE, cut),
               RawFrame(CM_SYM_DATA, SYM_DATA_UPDATE, lyingCount),
               RawFrame(CM_SYM_DATA, SYM_DATA_SNAPSHOT, lyingString + good), lyingFrame,
               cutResponse, RawFrame(CM_SYM_COB_STATUS, 0, statuses.substr(0, statuses.size() - 1)),
               RawFrame(CM_SYM_COB_DATA, 0, cobs.substr(0, cobs.size() - 2)),
               RawFrame(CM_SYM_DATA, SYM_DATA_UPDATE, next), Sentinel()});
    const bool pumped = s.connected && s.PumpFor(kSentinel);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(pumped);

    const std::vector<std::string> expected = {
        "data:AAA", "endtick",  // the cut record is not handed on
        "endtick",              // the lying count
        // the lying string ends the snapshot message without a callback
        "endtick",  // the lying frame is read as an empty body
        "cobstatus:3:ok", "cob:U", "data:BBB", "endtick", kSentinel};
    EXPECT_EQ(expected, s.listener.events);
    size_t failures = 0;
    for (size_t at = err.find("Failed to serialize sym data\n"); at != std::string::npos;
         at = err.find("Failed to serialize sym data\n", at + 1)) {
        ++failures;
    }
    EXPECT_EQ(3u, failures);
    EXPECT_NE(std::string::npos, err.find("Dropped a response part that could not be read"));
    EXPECT_EQ(0u, s.listener.PendingResponseCount());
}

// Raw bodies handed over in buffers of exactly the message length: cut at every
// length, a message is read no further than its end (checked by the sanitizer
// build) and delivers a prefix of what the whole message delivers: only whole
// records reach the callbacks.
TEST(SymListenerBoundsTest, shouldReadRawBodiesCutAtEveryLengthOnlyWithinTheMessage) {
    CResponse r("RSP");
    r.SetIntParam("i", 1);
    r.SetStringParam("s", "text");
    const Bytes rsp = ResponseFrames(r)[0].substr(10);
    QuorCOB::CCOBMsg cm;
    cm.m_sUnderlying = "U";
    cm.m_mapInfo[4].m_nId = 4;
    cm.m_mapInfo[4].m_vecLegs.resize(1);
    cm.m_mapData[4].m_nId = 4;
    cm.m_setIds = {1};
    QuorCOB::CCOBRequest req;
    req.m_nId = 1;
    req.m_sTopic = "T";
    req.m_vecFilters.resize(1);
    QuorCOB::CCOBStatus st;
    st.m_nId = 2;
    st.m_sStatus = "ok";
    const std::string depth = std::string("1") + SEP + "78" + SEP + "XYZ";
    const struct {
        short mtyp, submtyp;
        Bytes body;
    } cases[] = {
        {CM_SYM_DATA, SYM_DATA_UPDATE,
         Bodies({MakeRecord("AAA", "A", 1.0), MakeRecord(nullptr, "ABC", 2.0),
                 MakeRecord(depth.c_str(), nullptr, 3.0)})},
        {CM_SYM_DATA, SYM_DATA_SNAPSHOT,
         Bodies({MakeRecord("AAA", "A", 1.0), MakeRecord(depth.c_str(), nullptr, 3.0)})},
        {CM_SYM_RESPONSE, 12, rsp},
        {CM_SYM_COB_DATA, 0, CobBytes(std::vector<QuorCOB::CCOBMsg>{cm, cm})},
        {CM_SYM_COB_CREATE, 0, CobBytes(std::vector<QuorCOB::CCOBRequest>{req})},
        {CM_SYM_COB_STATUS, 0, CobBytes(std::vector<QuorCOB::CCOBStatus>{st, st})},
    };
    auto deliver = [](short mtyp, short submtyp, const Bytes& body, size_t len,
                      RecordingListener& l) {
        const size_t total = MsgHdrSym::BODY_OFFSET + len;
        std::unique_ptr<char[]> msg(new char[total]);
        const MsgHdrCmn hdr{MsgHdrSym::HDR_TYPE, mtyp, submtyp, static_cast<unsigned short>(total)};
        memcpy(msg.get(), &hdr, sizeof hdr);
        memcpy(msg.get() + MsgHdrSym::BODY_OFFSET, body.data(), len);
        l.FireEvents(msg.get());
    };
    testing::internal::CaptureStderr();
    for (const auto& c : cases) {
        RecordingListener whole;
        deliver(c.mtyp, c.submtyp, c.body, c.body.size(), whole);
        const std::vector<std::string> all = Without(whole.events, "endtick");
        EXPECT_FALSE(all.empty()) << "type " << c.mtyp;
        for (size_t len = 0; len < c.body.size(); ++len) {
            RecordingListener cut;
            deliver(c.mtyp, c.submtyp, c.body, len, cut);
            const std::vector<std::string> got = Without(cut.events, "endtick");
            ASSERT_LT(got.size(), all.size()) << "type " << c.mtyp << " cut at " << len;
            EXPECT_TRUE(std::equal(got.begin(), got.end(), all.begin()))
                << "type " << c.mtyp << " cut at " << len;
            for (size_t i = 0; i < cut.seen.size(); ++i) {
                EXPECT_EQ(whole.seen[i].bid, cut.seen[i].bid);
                EXPECT_EQ(whole.seen[i].topicField, cut.seen[i].topicField);
            }
            for (size_t i = 0; i < cut.cobMsgs.size(); ++i) {
                EXPECT_EQ(1u, cut.cobMsgs[i].m_mapInfo.size());
                EXPECT_EQ(1u, cut.cobMsgs[i].m_mapData.size());
                EXPECT_EQ(1u, cut.cobMsgs[i].m_setIds.size());
            }
            if (c.mtyp == CM_SYM_DATA && c.submtyp == SYM_DATA_UPDATE) {
                EXPECT_EQ("endtick", cut.events.back());
            }
        }
    }
    testing::internal::GetCapturedStderr();
}

TEST(SymListenerBoundsTest, shouldIgnoreOtherFamiliesAndTypesWithoutCallbacks) {
    const Bytes body = RecordBody(MakeRecord("AAA", nullptr, 1.0));
    RecordingListener l;
    std::vector<double> mem(MSG_MEM_LEN / sizeof(double));
    char* msg = reinterpret_cast<char*>(mem.data());
    memcpy(msg + MsgHdrSym::BODY_OFFSET, body.data(), body.size());
    const unsigned short len = static_cast<unsigned short>(MsgHdrSym::BODY_OFFSET + body.size());
    const MsgHdrCmn headers[] = {
        {5, CM_SYM_DATA, SYM_DATA_UPDATE, len},  // another family
        {MsgHdrSym::HDR_TYPE, 26, 0, len},       // beyond the Sym types
        {MsgHdrSym::HDR_TYPE, -2, 0, len},
        {MsgHdrSym::HDR_TYPE, CM_SYM_DATA, 5, len},
        {MsgHdrSym::HDR_TYPE, CM_SYM_SUBSCRIBE, 0, len},  // a client's request
    };
    for (const MsgHdrCmn& h : headers) {
        memcpy(msg, &h, sizeof h);
        l.FireEvents(msg);
    }
    l.FireEvents(nullptr);
    EXPECT_TRUE(l.events.empty());
}

// ---- field readers ----

TEST(SymListenerTest, shouldReadFieldsOnlyWithinTheRangeOfTheirType) {
    CSymData d;
    d.SetFlidDouble(CSymData::flid_bid, 1.5);
    d.SetFlidInt(CSymData::flid_bid_size, 300);
    d.SetFlidString(CSymData::flid_symbol, "IBM");
    d.SetFlidChar(CSymData::flid_fx_is_inverse, 'Y');

    double dv = 9;
    EXPECT_TRUE(CSymListener::GetDouble(&d, 0, dv));
    EXPECT_EQ(1.5, dv);
    EXPECT_FALSE(CSymListener::GetDouble(&d, 512, dv));
    EXPECT_EQ(0.0, dv);
    dv = 9;
    EXPECT_FALSE(CSymListener::GetDouble(&d, 1, dv));  // absent
    EXPECT_EQ(0.0, dv);
    int iv = 9;
    EXPECT_TRUE(CSymListener::GetInt(&d, 512, iv));
    EXPECT_EQ(300, iv);
    EXPECT_FALSE(CSymListener::GetInt(&d, 0, iv));
    EXPECT_EQ(0, iv);
    char cv = 'x';
    EXPECT_TRUE(CSymListener::GetChar(&d, 1536, cv));
    EXPECT_EQ('Y', cv);
    EXPECT_FALSE(CSymListener::GetChar(&d, 2048, cv));
    EXPECT_EQ(0, cv);
    cv = 'x';
    EXPECT_FALSE(CSymListener::GetChar(&d, -1, cv));
    EXPECT_EQ(0, cv);
    GrowingStr sv("kept");
    EXPECT_FALSE(CSymListener::GetString(&d, 1536, sv));
    EXPECT_FALSE(CSymListener::GetString(&d, 1025, sv));
    EXPECT_FALSE(CSymListener::GetString(nullptr, 1024, sv));
    EXPECT_STREQ("kept", sv.c_str());
    EXPECT_TRUE(CSymListener::GetString(&d, 1024, sv));
    EXPECT_STREQ("IBM", sv.c_str());
}
