// Writes the seed corpora of the fuzz harnesses with the library's own
// encoders: messages built in memory and written by the family serializers,
// the requests a CSymConnection writes and the replies and updates a CSymProxy
// writes (both captured from a socketpair), record bodies, order-book records,
// commands, topics, symbol information and translation files.
//
// Usage: qrx_fuzz_corpus_gen OUTDIR   (writes OUTDIR/<harness>/seed-NNN)
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "msg_roundtrip.h"
#include "qrx/client/sym_connection.h"
#include "qrx/marketdata/cob_msg.h"
#include "qrx/marketdata/cob_request.h"
#include "qrx/marketdata/cob_status.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/marketdata/sym_topic.h"
#include "qrx/proxy/sym_proxy.h"
#include "qrx/runtime/growing_buffer.h"
#include "qrx/wire/command_serialization.h"
#include "qrx/wire/depth_msgs.h"
#include "qrx/wire/response.h"
#include "qrx/wire/session_msgs.h"
#include "qrx/wire/sym_msgs.h"

namespace {

using Bytes = std::string;

std::string g_out;
std::map<std::string, int> g_count;

void Seed(const std::string& harness, const Bytes& bytes) {
    const std::string dir = g_out + "/" + harness;
    mkdir(dir.c_str(), 0755);
    char name[32];
    snprintf(name, sizeof name, "/seed-%03d", g_count[harness]++);
    std::ofstream(dir + name, std::ios::binary) << bytes;
}

Bytes Written(const CNetStream& s) {
    char* p;
    int n;
    s.GetBuf(p, n);
    return Bytes(p, static_cast<size_t>(n));
}

// ---- messages in memory, written by their family serializer ----

qrxfuzz::MsgMem g_mem;

template <typename H>
H* Fresh(short mtyp, short submtyp) {
    memset(g_mem.bytes, 0, sizeof g_mem.bytes);
    H* p = reinterpret_cast<H*>(g_mem.bytes);
    p->mtyp = mtyp;
    p->submtyp = submtyp;
    return p;
}

Bytes Encoded() {
    Bytes out;
    if (!qrxfuzz::EncodeMsg(g_mem, out)) {
        return Bytes();
    }
    return out;
}

// A body pattern: short texts (letters cut by NULs) and small numbers.
void Pattern(char* body, int len) {
    for (int i = 0; i < len; ++i) {
        body[i] = i % 8 == 7 ? '\0' : static_cast<char>('A' + (i * 7) % 26);
    }
}

template <typename H>
Bytes Message(short mtyp, short submtyp, int bodyLen) {
    H* p = Fresh<H>(mtyp, submtyp);
    Pattern(MsgBody(p), bodyLen);
    SetMsgLen(p, bodyLen);
    return Encoded();
}

Bytes LoginMsg(short hdrType, const char* user) {
    memset(g_mem.bytes, 0, sizeof g_mem.bytes);
    MsgHdrCmn* h = g_mem.Hdr();
    h->mtyp = CM_LOGIN;
    h->submtyp = CM_LOGIN;
    h->hdr_typ = hdrType;
    char* body = g_mem.bytes + (hdrType == MsgHdrPort::HDR_TYPE       ? MsgHdrPort::BODY_OFFSET
                                : hdrType == MsgHdrRtpDepth::HDR_TYPE ? MsgHdrRtpDepth::BODY_OFFSET
                                                                      : 8);
    stLogin* l = reinterpret_cast<stLogin*>(body);
    l->protocol_version = 3;
    snprintf(l->username, sizeof l->username, "%s", user);
    snprintf(l->password, sizeof l->password, "secret");
    snprintf(l->text_value, sizeof l->text_value, "reason");
    snprintf(l->curr_local_time, sizeof l->curr_local_time, "10:11:12");
    h->msglen = static_cast<unsigned short>((body - g_mem.bytes) + sizeof(stLogin));
    return Encoded();
}

Bytes HeartBeatMsg(short hdrType) {
    memset(g_mem.bytes, 0, sizeof g_mem.bytes);
    MsgHdrCmn* h = g_mem.Hdr();
    h->hdr_typ = hdrType;
    h->mtyp = CM_HEARTBEAT;
    h->submtyp = CM_HEARTBEAT;
    const int off = hdrType == MsgHdrPort::HDR_TYPE       ? MsgHdrPort::BODY_OFFSET
                    : hdrType == MsgHdrRtpDepth::HDR_TYPE ? MsgHdrRtpDepth::BODY_OFFSET
                                                          : 8;
    stHeartBeat hb{42};
    memcpy(g_mem.bytes + off, &hb, sizeof hb);
    h->msglen = static_cast<unsigned short>(off + 8);
    return Encoded();
}

Bytes DepthMsg(short submtyp) {
    MsgHdrRtpDepth* p = Fresh<MsgHdrRtpDepth>(CM_DEPTH, submtyp);
    p->hdr_typ = MsgHdrRtpDepth::HDR_TYPE;
    snprintf(p->m_szSymbol, sizeof p->m_szSymbol, "IBM");
    p->m_cSource = 'N';
    char* body = MsgBody(p);
    int len = 2 * static_cast<int>(sizeof(stMktDepthEx));
    Pattern(body, 2 * static_cast<int>(sizeof(stFXQuote)));
    static stAlloc allocs[2] = {{"ACCT1", 100, 0}, {"ACCT2", 200, 50}};
    static char attrs[] = "strike=100;expiry=20270101";
    switch (submtyp) {
        case DEPTH_MKT_DEPTH: {
            stMktDepth* e = reinterpret_cast<stMktDepth*>(body);
            memset(e, 0, 2 * sizeof *e);
            e[0] = {'B', 1, 300, 181.25, 0, 0};
            e[1] = {'A', 1, 200, 181.5, 0, 0};
            len = 2 * static_cast<int>(sizeof *e);
            break;
        }
        case DEPTH_FX_QUOTE:
            len = 2 * static_cast<int>(sizeof(stFXQuote));
            break;
        case DEPTH_FX_ALLOC_RFQ_136:
        case DEPTH_FX_ALLOC_RFQ_137: {
            stFXAllocRFQ* r = reinterpret_cast<stFXAllocRFQ*>(body);
            memset(r, 0, sizeof *r);
            snprintf(r->m_szSender, sizeof r->m_szSender, "BANK");
            r->m_cType = 'S';
            r->m_nSize = 1000000;
            r->m_nAllocs = 2;
            r->m_pAllocs = allocs;
            len = static_cast<int>(sizeof *r);
            break;
        }
        case DEPTH_FX_OPT_RFQ: {
            stFXOptRFQ* r = reinterpret_cast<stFXOptRFQ*>(body);
            memset(r, 0, sizeof *r);
            snprintf(r->m_szSender, sizeof r->m_szSender, "BANK");
            r->m_nReqID = 7;
            r->m_nLength = static_cast<int>(sizeof attrs);
            r->m_szSubAttributesStr = attrs;
            len = static_cast<int>(sizeof *r);
            break;
        }
        default:
            break;
    }
    p->msglen = static_cast<unsigned short>(MsgHdrRtpDepth::BODY_OFFSET + len);
    return Encoded();
}

// ---- records ----

CSymData Record(const char* topic, double bid, int size, const char* exch, char tick) {
    CSymData d;
    d.SetFlidString(CSymData::flid_topic, GrowingStr(topic));
    d.SetFlidString(CSymData::flid_symbol, GrowingStr(topic));
    d.SetFlidDouble(0, bid);
    d.SetFlidDouble(1, bid + 0.25);
    d.SetFlidInt(600, size);
    d.SetFlidString(1100, GrowingStr(exch));
    d.SetFlidChar(1600, tick);
    return d;
}

Bytes Body(const CSymData& d) {
    CNetStream out(true, 0, 0);
    CSymDataAux::SerializeSymOut(d, out);
    return Written(out);
}

// ---- capture of what a connection and a proxy write ----

Bytes ReadAll(int fd) {
    Bytes got;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) {
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

std::vector<Bytes> Frames(const Bytes& stream) {
    std::vector<Bytes> out;
    Bytes copy = stream;
    CMsgHdrStream in(false, 0, 0);
    size_t off = 0;
    while (off < copy.size()) {
        const int len = CMsgHdrStream::MakeStreamFromBuffer(
            &copy[off], static_cast<int>(copy.size() - off), &in);
        if (len <= 0) {
            break;
        }
        out.push_back(copy.substr(off, static_cast<size_t>(len)));
        off += static_cast<size_t>(len);
    }
    return out;
}

// Runs fn on a CSymConnection whose socket is one end of a socketpair and
// returns what it wrote.
template <typename Fn>
Bytes ClientWrites(Fn fn) {
    qrxfuzz::SocketPair pair;
    CSymConnection conn;
    CAppConn* sock =
        new CAppConn(conn.GetDescription(), CAppConn::SOCKET_UNSPEC, nullptr, nullptr, 0, nullptr);
    sock->SetFd(pair.Release(0));
    sock->m_is_stream = 5;
    conn.SetSocket(sock);
    conn.SetLoginCredentials("trader", "secret");
    fn(conn);
    const Bytes got = ReadAll(pair.fd[1]);
    conn.SetSocket(nullptr);
    return got;
}

class CGenBindConn : public CAppConn {
public:
    explicit CGenBindConn(const char* path) : CAppConn("gen-bind", path) {}
    int Accept() override {
        const int fd = m_nNext;
        m_nNext = -1;
        return fd;
    }
    int m_nNext = -1;
};

class CGenProxy : public CSymProxy {
public:
    void OnSubscribe(const char*) override {}
    void OnUnsubscribe(const char*) override {}
};

// Runs fn on a CSymProxy serving one end of a socketpair as its client and
// returns what the proxy wrote to it.
template <typename Fn>
Bytes ProxyWrites(Fn fn) {
    char path[64];
    snprintf(path, sizeof path, "/tmp/qrx_fuzz_gen.%d", static_cast<int>(getpid()));
    qrxfuzz::SocketPair pair;
    CGenProxy proxy;
    CGenBindConn* bind = new CGenBindConn(path);
    proxy.Initialize(bind, false, true, true, false);
    bind->m_nNext = pair.Release(0);
    fd_set readF;
    FD_ZERO(&readF);
    FD_SET(proxy.GetFd(), &readF);
    proxy.CheckSocket(readF);
    fn(proxy, pair.fd[1]);
    const Bytes got = ReadAll(pair.fd[1]);
    proxy.CloseClient();
    unlink(path);
    return got;
}

Bytes RawSym(short mtyp, short submtyp, const Bytes& body) {
    MsgHdrSym* p = Fresh<MsgHdrSym>(mtyp, submtyp);
    memcpy(MsgBody(p), body.data(), body.size());
    SetMsgLen(p, static_cast<int>(body.size()));
    return Encoded();
}

QuorCOB::CCOBMsg CobMsg() {
    QuorCOB::CCOBMsg m;
    m.m_sUnderlying = GrowingStr("IBM");
    m.m_eMsgType = QuorCOB::CCOBMsg::COB_MSG_TYPE_SNAPSHOT;
    QuorCOB::CCOBInfo info;
    info.m_nId = 1;
    info.m_sDescription = GrowingStr("IBM 1x1 spread");
    info.m_sExchange = GrowingStr("CBOE");
    QuorCOB::stLegInfo leg;
    leg.m_sSymbol = GrowingStr("IBM");
    leg.m_nExpiry = 20270115;
    leg.m_nRatio = 1;
    leg.m_dblStrikePrice = 180;
    leg.m_cCallPut = 'C';
    leg.m_bIsOption = true;
    info.m_vecLegs.push_back(leg);
    info.m_setIds.insert(7);
    m.m_mapInfo[1] = info;
    QuorCOB::CCOBData data;
    data.m_nId = 1;
    data.m_dblBidPrice = 1.25;
    data.m_dblAskPrice = 1.5;
    data.m_nBidSize = 10;
    data.m_nAskSize = 20;
    data.m_setIds.insert(7);
    m.m_mapData[1] = data;
    m.m_setIds.insert(7);
    return m;
}

QuorCOB::CCOBRequest CobRequest() {
    QuorCOB::CCOBRequest r;
    r.m_nId = 7;
    r.m_nClosure = 1;
    r.m_sTopic = GrowingStr("IBM");
    r.m_vecFilters.push_back({GrowingStr("bid"), GrowingStr("1"), GrowingStr("2")});
    return r;
}

template <typename T>
Bytes Cob(const T& rec) {
    CNetStream out(true, 0, 0);
    QuorCOB::write_cob(out, rec);
    return Written(out);
}

CCommand Command(int nParams) {
    CCommand cmd("getPositions");
    cmd.SetCmdId(3, 9);
    for (int i = 0; i < nParams; ++i) {
        char name[32];
        snprintf(name, sizeof name, "p%d", i);
        cmd.SetIntParam(name, i);
        cmd.SetDoubleParam(name, i * 1.5);
        cmd.SetCharParam(name, static_cast<char>('a' + i % 26));
        cmd.SetStringParam(name, "value");
    }
    cmd.SetConnection("SYM");
    return cmd;
}

CResponse Response(int nParams) {
    CResponse rsp(Command(0));
    for (int i = 0; i < nParams; ++i) {
        char name[32];
        snprintf(name, sizeof name, "r%d", i);
        rsp.SetIntParam(name, i);
        rsp.SetDoubleParam(name, -i * 0.25);
        rsp.SetStringParam(name, "row");
    }
    rsp.SetStatus(CResponse::RESPONSE_END);
    rsp.SetUser("trader");
    rsp.SetStringParam("result", "ok");
    return rsp;
}

std::vector<std::string> Topics() {
    std::vector<std::string> topics = {"IBM", "MSFT.O", ""};
    char buf[512];
    memset(buf, 0, sizeof buf);
    CSymConnection::CreateDepthTopic("IBM", 'N', buf, sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymConnection::CreatePortSymbolTopic("PORT1", "IBM", buf, sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymConnection::CreateDirectFeedTopic(buf, "IBM", 'N', sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymConnection::CreateMMIDTopic("IBM", 'N', "GSCO", buf, sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymConnection::CreateSymbolRiskUserTopic("IBM", "trader", buf, sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymConnection::CreateSymbolOptionUserTopic("IBM", "trader", buf, sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymConnection::CreateGreekTopic("IBM", buf, sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymConnection::CreateSymbolAliasTopic("IBM", "IBM.N", buf, sizeof buf, 3);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymTopicBuilders::CreateSizesTopic("EUR/USD", 1000000, 2000000, buf, sizeof buf);
    topics.push_back(buf);
    memset(buf, 0, sizeof buf);
    CSymTopicBuilders::CreateFilterTopic("F1", "IBM", 'N', buf, sizeof buf);
    topics.push_back(buf);
    return topics;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return 2;
    }
    g_out = argv[1];
    mkdir(g_out.c_str(), 0755);
    const std::vector<std::string> topics = Topics();

    // What a client writes, and what a proxy writes back.
    std::vector<Bytes> clientStreams;
    clientStreams.push_back(ClientWrites([](CSymConnection& c) {
        c.Login();
        c.Subscribe("IBM");
        c.Snapshot("IBM");
        c.Unsubscribe("IBM");
    }));
    clientStreams.push_back(ClientWrites([&](CSymConnection& c) {
        c.Login();
        std::vector<GrowingStr> list;
        for (const std::string& t : topics) {
            list.emplace_back(t.c_str());
        }
        c.Subscribe(list);
        c.SubscribeAll();
        c.SnapshotAll();
        c.UnsubscribeAll();
        c.Unsubscribe(list);
    }));
    clientStreams.push_back(ClientWrites([](CSymConnection& c) {
        c.Login();
        c.Subscribe("IBM", static_cast<short>(3));
        c.Unsubscribe("IBM", static_cast<short>(3));
        c.SubscribeWithSize("EUR/USD", 1000000, 2000000, 5);
        c.UnsubscribeWithSize("EUR/USD", 1000000, 2000000, 5);
    }));
    clientStreams.push_back(ClientWrites([](CSymConnection& c) {
        c.Login();
        CCommand small = Command(2);
        c.SendCommand(&small);
        CCommand big = Command(400);  // several parts
        c.SendCommand(&big);
    }));
    clientStreams.push_back(ClientWrites([](CSymConnection& c) {
        c.Login();
        c.SubscribeCOB(CobRequest());
        c.UnsubscribeCOB(CobRequest());
    }));

    std::vector<Bytes> serverStreams;
    // The proxy answers a client's logon and subscriptions, then publishes.
    const Bytes subscriptions = ClientWrites([](CSymConnection& c) {
        c.Login();
        c.Subscribe("IBM");
        c.Subscribe("4\006N\006IBM");
        c.SubscribeAll();
    });
    serverStreams.push_back(ProxyWrites([&](CSymProxy& p, int peer) {
        size_t off = 0;
        qrxfuzz::WriteSome(peer, subscriptions, off);
        fd_set readF;
        FD_ZERO(&readF);
        FD_SET(p.GetFd(), &readF);
        p.CheckSocket(readF);
        for (int i = 0; i < 3; ++i) {
            HTICK t = p.CreateTick(i == 0 ? "IBM" : i == 1 ? "MSFT" : "4\006N\006IBM");
            p.SetTickField(t, 0, 181.25 + i);
            p.SetTickField(t, 600, 300 + i);
            p.SetTickField(t, 1100, "NYSE");
            p.SetTickField(t, 1600, 'B');
            p.PushbackTick(t);
        }
        p.Flush(false, nullptr);
        FD_ZERO(&readF);
        FD_SET(p.GetFd(), &readF);
        p.CheckSocket(readF);  // a second subscribe-all, now with snapshots
        off = 0;
        const Bytes again = ClientWrites([](CSymConnection& c) { c.SubscribeAll(); });
        qrxfuzz::WriteSome(peer, again, off);
        FD_ZERO(&readF);
        FD_SET(p.GetFd(), &readF);
        p.CheckSocket(readF);
    }));
    serverStreams.push_back(ProxyWrites([](CSymProxy& p, int) { p.SendLoginResp(false); }));
    serverStreams.push_back(ProxyWrites([](CSymProxy& p, int) {
        p.SendLoginResp(true);
        CResponse small = Response(1);
        p.SendResponse(&small);
        CResponse big = Response(500);
        p.SendResponse(&big);
        p.Flush(false, nullptr);
    }));
    // Notices and order-book messages a server sends, written by the serializer.
    {
        Bytes s;
        MsgHdrSym* st = Fresh<MsgHdrSym>(CM_SYM_SUB_STATUS, SYM_SUB_STATUS_ERROR);
        stSymSubStatus* ss = reinterpret_cast<stSymSubStatus*>(MsgBody(st));
        snprintf(ss->m_szTopic, sizeof ss->m_szTopic, "IBM");
        snprintf(ss->m_szMessage, sizeof ss->m_szMessage, "no such symbol");
        SetMsgLen(st, sizeof(stSymSubStatus));
        s += Encoded();
        for (short sub :
             {SYM_STATUS_SOURCE_DOWN, SYM_STATUS_SOURCE_RESTORED, SYM_HEARTBEAT_NOTICE}) {
            MsgHdrSym* t = Fresh<MsgHdrSym>(
                sub == SYM_HEARTBEAT_NOTICE ? CM_SYM_HEARTBEAT_NOTICE : CM_SYM_STATUS, sub);
            snprintf(MsgBody(t), 64, "source N");
            SetMsgLen(t, 9);
            s += Encoded();
        }
        MsgHdrSym* id = Fresh<MsgHdrSym>(CM_SYM_CMD_CLIENT_ID, 0);
        const short cid = 12;
        memcpy(MsgBody(id), &cid, sizeof cid);
        SetMsgLen(id, sizeof cid);
        s += Encoded();
        s += HeartBeatMsg(MsgHdrSym::HDR_TYPE);
        s += RawSym(CM_SYM_COB_DATA, 0, Cob(CobMsg()));
        s += RawSym(CM_SYM_COB_CREATE, 0, Cob(CobRequest()));
        QuorCOB::CCOBStatus cs;
        cs.m_nId = 7;
        cs.m_sStatus = GrowingStr("created");
        s += RawSym(CM_SYM_COB_STATUS, 0, Cob(cs) + Cob(cs));
        s += RawSym(CM_SYM_DATA, SYM_DATA_SNAPSHOT_START, Bytes());
        s += RawSym(
            CM_SYM_DATA, SYM_DATA_SNAPSHOT,
            Body(Record("IBM", 1, 2, "N", 'B')) + Body(Record(topics[4].c_str(), 3, 4, "Q", 'S')));
        s += RawSym(CM_SYM_DATA, SYM_DATA_SNAPSHOT_END, Bytes());
        serverStreams.push_back(s);
    }

    // The two session entry points: a chunk byte, then the stream.
    for (const Bytes& s : clientStreams) {
        Seed("sym_proxy_fuzz", Bytes(1, '\xff') + s);
        Seed("sym_proxy_fuzz", Bytes(1, '\x00') + s);
    }
    for (const Bytes& s : serverStreams) {
        Seed("sym_listener_fuzz", Bytes(1, '\xff') + s);
        Seed("sym_listener_fuzz", Bytes(1, '\x01') + s);
    }

    // Single messages for the family harnesses; whole streams for the framing.
    std::vector<Bytes> all;
    for (const Bytes& s : clientStreams) {
        for (const Bytes& f : Frames(s)) {
            all.push_back(f);
        }
    }
    for (const Bytes& s : serverStreams) {
        for (const Bytes& f : Frames(s)) {
            all.push_back(f);
        }
    }
    std::map<std::pair<short, short>, int> perType;
    for (const Bytes& f : all) {
        const short mtyp = static_cast<short>(LoadBE16(&f[4]));
        const short submtyp = static_cast<short>(LoadBE16(&f[6]));
        if (perType[{mtyp, submtyp}]++ >= 2) {
            continue;  // a couple of each kind
        }
        Seed("sym_msg_fuzz", f.substr(4, 4) + f.substr(8));
        Seed("msg_hdr_fuzz", f);
    }
    for (const Bytes& s : clientStreams) {
        Seed("msg_hdr_fuzz", s.substr(0, 4096));
    }

    // Session messages in the four families that carry them.
    const short hdrTypes[] = {MsgHdrPort::HDR_TYPE, MsgHdrOrdSrv::HDR_TYPE,
                              MsgHdrRtpDepth::HDR_TYPE, MsgHdrSym::HDR_TYPE};
    for (int h = 0; h < 4; ++h) {
        const Bytes login = LoginMsg(hdrTypes[h], "trader");
        const Bytes hb = HeartBeatMsg(hdrTypes[h]);
        Seed("session_msg_fuzz", Bytes(1, static_cast<char>(h | (0 << 2))) + login.substr(8));
        Seed("session_msg_fuzz", Bytes(1, static_cast<char>(h | (1 << 2))) + hb.substr(8));
        Seed("msg_hdr_fuzz", login + hb);
    }
    for (short sub = 200; sub <= 220; sub += 2) {
        const Bytes port = Message<MsgHdrPort>(CM_PORT, sub, 128);
        if (!port.empty()) {
            Seed("session_msg_fuzz", Bytes(1, static_cast<char>(0 | (2 << 2) | 0x10)) +
                                         port.substr(6, 2) + port.substr(8));
        }
    }
    for (short sub : {0, 1, 2, 3}) {
        const Bytes pw = Message<MsgHdrPort>(CM_PASSWD, sub, 120);
        if (!pw.empty()) {
            Seed("session_msg_fuzz",
                 Bytes(1, static_cast<char>(0 | (3 << 2) | 0x10)) + pw.substr(6, 2) + pw.substr(8));
        }
    }

    // Depth messages: every sub-type, then logon and heartbeat.
    for (short sub = DEPTH_SYMBOL_108; sub <= DEPTH_FX_OPT_RFQ; ++sub) {
        const Bytes d = DepthMsg(sub);
        if (!d.empty()) {
            Seed("depth_msg_fuzz",
                 Bytes(1, static_cast<char>(sub - DEPTH_SYMBOL_108)) + d.substr(8));
            if (sub % 5 == 0) {
                Seed("msg_hdr_fuzz", d);
            }
        }
    }
    Seed("depth_msg_fuzz", Bytes(1, '\xf0') + LoginMsg(MsgHdrRtpDepth::HDR_TYPE, "d").substr(8));
    Seed("depth_msg_fuzz", Bytes(1, '\xf1') + HeartBeatMsg(MsgHdrRtpDepth::HDR_TYPE).substr(8));

    // Order-book records, one kind per selector.
    {
        QuorCOB::CCOBStatus cs;
        cs.m_nId = 3;
        cs.m_sStatus = GrowingStr("pending");
        const QuorCOB::CCOBMsg m = CobMsg();
        Seed("cob_msg_fuzz", Bytes(1, '\0') + Cob(m) + Cob(m));
        Seed("cob_msg_fuzz", Bytes(1, '\1') + Cob(cs) + Cob(cs));
        Seed("cob_msg_fuzz", Bytes(1, '\2') + Cob(CobRequest()));
        Seed("cob_msg_fuzz", Bytes(1, '\3') + Cob(m.m_mapInfo.begin()->second));
        QuorCOB::CCOBData data = m.m_mapData.begin()->second;
        SymQData* aux = new SymQData();
        aux->m_topic = GrowingStr("IBM 270115C180");
        aux->SetFlid(static_cast<short>(0), 1.5);
        aux->SetFlid(static_cast<short>(600), 7);
        aux->SetFlid(static_cast<short>(1100), "leg");
        aux->SetFlid(static_cast<short>(1600), 'x');
        data.AddAuxData(aux);  // owned by data
        Seed("cob_msg_fuzz", Bytes(1, '\4') + Cob(data));
    }

    // Commands and responses: whole, as split parts, and as text.
    for (int n : {0, 1, 5}) {
        CNetStream out(true, 0, 0);
        Command(n).WriteTo(out);
        Seed("command_fuzz", Bytes(1, '\0') + Written(out));
        CNetStream rout(true, 0, 0);
        Response(n).WriteTo(rout);
        Seed("command_fuzz", Bytes(1, '\1') + Written(rout));
        std::ostringstream os;
        Command(n).toASCIIString(os);
        Seed("command_fuzz", Bytes(1, '\2') + os.str());
    }

    // Record bodies: runs through the live path, single ones through the
    // pre-encoded path.
    {
        const CSymData a = Record("IBM", 181.25, 300, "N", 'B');
        const CSymData b = Record(topics[3].c_str(), -1e300, -7, "", '\0');
        CSymData c;
        c.SetFlidString(CSymData::flid_symbol, GrowingStr("X"));
        for (int id = 0; id < 2048; id += 97) {
            switch (id >> 9) {
                case 0:
                    c.SetFlidDouble(id, id * 0.5);
                    break;
                case 1:
                    c.SetFlidInt(id, id);
                    break;
                case 2:
                    c.SetFlidString(id, GrowingStr("text"));
                    break;
                default:
                    c.SetFlidChar(id, 'c');
                    break;
            }
        }
        Seed("record_fuzz", Bytes(1, '\0') + Body(a));
        Seed("record_fuzz", Bytes(1, '\0') + Body(a) + Body(b) + Body(c));
        Seed("record_fuzz", Bytes(1, '\0') + Body(c));
        Seed("record_fuzz", Bytes(1, '\1') + Bytes(1, '\0') + Body(a));
        Seed("record_fuzz", Bytes(1, '\1') + Bytes(1, '\1') + Bytes("\x04\x4c", 2) + Body(b));
        for (const CSymData* d : {&a, &b, static_cast<const CSymData*>(&c)}) {
            SymQData q;
            CSymDataAux::Copy(*d, q);
            CNetStream out(true, 0, 0);
            CSymDataAux::SerializeSymOut(q, out, nullptr, nullptr);
            Seed("sym_q_data_fuzz", Bytes(1, '\0') + Written(out));
            Seed("sym_q_data_fuzz",
                 Bytes(1, '\5') + Bytes("\x00\x00", 2) + Written(out) + Written(out));
        }
    }

    // Field streams: operations and the fields they read, written by the stream.
    {
        CNetStream s(true, 0, 0);
        s << 'c' << true << static_cast<short>(-2) << static_cast<unsigned short>(65000) << 123456
          << static_cast<long>(-5) << 3.25 << "text"
          << "abcdefghijklmnopqrstuvwxyz";
        s.Append("fixed");
        s.Append(GrowingStr("growing"));
        CNetStream nested(true, 0, 0);
        nested << 1 << "inner";
        s.Append(nested);
        s << "cut";
        const Bytes ops("\x00\x01\x02\x03\x04\x05\x06\x07\x38\x09\x0a\x0b\x1c\x2d", 14);
        Seed("net_stream_fuzz", Bytes(1, static_cast<char>(ops.size())) + ops + Written(s));
        Seed("net_stream_fuzz", Bytes(1, 3) + Bytes("\x07\x07\x07", 3) + Written(s).substr(20));
    }

    // Topics and topic descriptions.
    for (const std::string& t : topics) {
        Seed("sym_topic_fuzz", t);
    }
    Seed("sym_topic_fuzz", "TOPIC_PORT_SYMBOL;PORT1,IBM");
    Seed("sym_topic_fuzz", "TOPIC_SOURCE_SYMBOL;NYSE,IBM");

    // Symbol information files written by the writer.
    {
        CSymDataAux::StaticSymInfoMap info;
        info[GrowingStr("IBM")] = new CSymData(Record("IBM", 181.25, 300, "N", 'B'));
        info[GrowingStr(topics[3].c_str())] =
            new CSymData(Record(topics[3].c_str(), 1, 2, "Q", '\\'));
        char path[64];
        snprintf(path, sizeof path, "/tmp/qrx_fuzz_gen_info.%d", static_cast<int>(getpid()));
        CSymDataAux::SerializeSymOut(info, path, false);
        std::ifstream in(path, std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        unlink(path);
        Seed("sym_info_file_fuzz", file);
        Seed("sym_info_file_fuzz",
             "# comment\nTOPIC_PORT_SYMBOL;PORT1,IBM:bid=1.5\n"
             "TOPIC_SOURCE_SYMBOL;NYSE,IBM:600=7\n" +
                 file);
        for (auto& e : info) {
            delete e.second;
        }
    }

    // Translation files.
    Seed("sym_translator_fuzz", "# symbols\nIBM IBM.N\nMSFT,MSFT.O MSFT.OQ\n");
    Seed("sym_translator_fuzz", "SEPARATOR: |\nIBM|IBM.N\nREGEX: ^(.*)\\.L$ $1.LN\nVOD.L\n");
    Seed("sym_translator_fuzz", "REGEX: ^([A-Z]+)_([0-9]+)$ $2-$1\n ignored\nAAPL_1 x\nAAPL_2\n");

    // The connection's reading in its four forms.
    for (const Bytes& s : clientStreams) {
        Seed("app_conn_read_fuzz", Bytes(1, '\x00') + s.substr(0, 2048));
        Seed("app_conn_read_fuzz", Bytes(1, '\x04') + s.substr(0, 512));
    }
    {
        // Raw form: messages as they lie in memory.
        Bytes raw;
        for (int i = 0; i < 3; ++i) {
            HdrMsg<stHeartBeat> hb{};
            hb.hdr.hdr_typ = MsgHdrPort::HDR_TYPE;
            hb.hdr.mtyp = CM_HEARTBEAT;
            hb.hdr.submtyp = CM_HEARTBEAT;
            hb.hdr.msglen = sizeof hb;
            hb.body.request_id = i;
            raw.append(reinterpret_cast<const char*>(&hb), sizeof hb);
        }
        Seed("app_conn_read_fuzz", Bytes(1, '\x01') + raw);
        Seed("app_conn_read_fuzz", Bytes(1, '\x02') +
                                       "\x02"
                                       "15hello\x03\x02"
                                       "211hello world\x03");
        Seed("app_conn_read_fuzz", Bytes(1, '\x03') + clientStreams[0]);
    }

    for (const auto& e : g_count) {
        printf("%s: %d seeds\n", e.first.c_str(), e.second);
    }
    return 0;
}
