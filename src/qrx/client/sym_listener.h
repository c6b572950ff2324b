// CSymListener: turns every Sym message that a connection receives into calls
// of overridable callbacks: market-data updates and snapshots, subscription and
// connection status, command responses (put together again when they come in
// parts), order-book messages and the client id the server assigns. Every
// callback does nothing by default; applications derive and override.
//
// Market data is the bulk of the traffic: one field stream, one record and one
// topic object are allocated with the listener and reused for every record.
// Pointers handed to callbacks are valid only during the call.
#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <unordered_map>

#include "qrx/client/api_listener.h"
#include "qrx/marketdata/sym_data.h"
#include "qrx/runtime/growing_str.h"
#include "qrx/wire/response.h"

class CNetStream;
class CSymTopic;
class CSymConnection;
struct MsgHdrCmn;

namespace QuorCOB {
class CCOBMsg;
class CCOBStatus;
class CCOBRequest;
}  // namespace QuorCOB

enum enSymStatusCode {
    SYM_LOGIN_SUCCESS = 0,
    SYM_LOGIN_ERROR = 1,
    SYM_DATA_SOURCE_ERROR = 2,
    SYM_DATA_SOURCE_RESTORED = 3,
    SYM_PENDING_SUB = 4,
    SYM_SUBS_ERROR = 5,
};

class CSymListener : public CApiListener {
public:
    // Most responses kept while their later parts are awaited; past it the
    // one that has waited longest is dropped, so a peer cannot grow the set
    // without bound.
    static constexpr size_t MAX_PENDING_RESPONSES = 1024;
    // Most parts, and most body bytes in all its parts, of one response put
    // together; past either the response is dropped, and its later parts with
    // it, so a peer cannot grow one response without bound either.
    static constexpr int MAX_RESPONSE_PARTS = 128;
    static constexpr size_t MAX_RESPONSE_BYTES = 1024 * 1024;
    // Most body bytes of all the responses kept together; past it the ones
    // touched longest ago are dropped, so that many responses just under
    // their own bound cannot add up either.
    static constexpr size_t MAX_PENDING_RESPONSE_BYTES = 16 * 1024 * 1024;

    CSymListener();
    ~CSymListener() override;

    CSymListener(const CSymListener&) = delete;
    CSymListener& operator=(const CSymListener&) = delete;

    // Decodes one received message (in memory, beginning with its Sym header,
    // in the message memory of the transport) and runs its callbacks.
    void FireEvents(char* msg) override;

    // Updates: the topic-object form for structured topics, the text form
    // for the others.
    virtual void OnData(const char* topic, const CSymData* data) {
        (void)topic;
        (void)data;
    }
    virtual void OnData(const CSymTopic* topic, const CSymData* data) {
        (void)topic;
        (void)data;
    }
    virtual void OnStartSnapshots() {}
    virtual void OnEndSnapshots() {}
    virtual void OnSnapshotData(const char* topic, const CSymData* data) {
        (void)topic;
        (void)data;
    }
    virtual void OnSnapshotData(const CSymTopic* topic, const CSymData* data) {
        (void)topic;
        (void)data;
    }
    virtual void OnSymbolStatus(const char* topic, const char* message, enSymStatusCode code) {
        (void)topic;
        (void)message;
        (void)code;
    }
    virtual void OnStatus(enSymStatusCode code, const char* text) {
        (void)code;
        (void)text;
    }
    // The response is destroyed after the call; copy it to keep it.
    virtual void OnResponse(CResponse* response) { (void)response; }
    // Once after every update message, after its last record.
    virtual void OnEndTickGroupRead() {}
    virtual void OnCOBMsg(QuorCOB::CCOBMsg* msg) { (void)msg; }
    virtual void OnCOBStatus(QuorCOB::CCOBStatus* status) { (void)status; }
    virtual void OnCreateCOBRequest(QuorCOB::CCOBRequest* request) { (void)request; }

    // Called by CSymConnection::AddClient.
    void SetSymConnection(CSymConnection* conn) { m_pSymConnection = conn; }
    CSymConnection* GetSymConnection() const { return m_pSymConnection; }

    // Field readers: true, with the value stored, when id lies in the range
    // of the type and the record holds the field. GetDouble, GetInt and
    // GetChar set the value to 0 first; GetString leaves it alone on false.
    static bool GetDouble(const CSymData* data, int id, double& value) {
        value = 0;
        return data != nullptr && data->GetFlidDouble(id, value);
    }
    static bool GetInt(const CSymData* data, int id, int& value) {
        value = 0;
        return data != nullptr && data->GetFlidInt(id, value);
    }
    static bool GetString(const CSymData* data, int id, GrowingStr& value) {
        return data != nullptr && data->GetFlidString(id, value);
    }
    static bool GetChar(const CSymData* data, int id, char& value) {
        value = 0;
        return data != nullptr && data->GetFlidChar(id, value);
    }

    // Responses whose later parts are still awaited, and their body bytes.
    size_t PendingResponseCount() const { return m_Responses.size(); }
    size_t PendingResponseBytes() const { return m_nPendingResponseBytes; }

protected:
    CNetStream* m_pStream;
    CSymData* m_pData;
    CSymTopic* m_pTopic;
    CSymConnection* m_pSymConnection = nullptr;
    std::map<unsigned int, CResponse> m_Responses;

private:
    // FireEvents after the header check: the message's callbacks.
    void Dispatch(char* msg, const MsgHdrCmn& hdr, const bool& alive);
    // Attaches m_pStream to the raw body of msg, bounded by its length.
    void AttachBody(char* msg, unsigned short msglen);
    // Updates (bSnapshot false) and snapshot records (true). The loops that
    // run callbacks record by record stop when alive turns false: a callback
    // destroyed the listener, whose members are gone.
    void ReadRecords(bool bSnapshot, const bool& alive);
    void HandleSubStatus(char* msg, enSymStatusCode code);
    void HandleStatus(char* msg, enSymStatusCode code);
    // A response message (or part) whose body holds nBodyBytes bytes.
    void HandleResponse(short submtyp, size_t nBodyBytes);
    void HandleClientId(char* msg);
    void HandleCOBMsgs(const bool& alive);
    void HandleCOBRequest();
    void HandleCOBStatus(const bool& alive);

    // Pending responses: store part (of nBytes body bytes) under id, it being
    // the entry of that id (replaced) or the map's end.
    void StoreResponse(unsigned int id, CResponse&& part, size_t nBytes,
                       std::map<unsigned int, CResponse>::iterator it);
    // Counts a further part of the response under id; false, with the
    // response dropped, once it passes its bounds or when it was dropped before.
    bool CountResponsePart(unsigned int id, size_t nBytes);
    void TouchResponse(unsigned int id);
    void ForgetResponse(unsigned int id);
    // Drops the responses touched longest ago, other than keep's, while the
    // responses kept hold more than MAX_PENDING_RESPONSE_BYTES.
    void TrimPendingResponses(unsigned int keep);

    // What has arrived of a response being put together. An entry whose
    // response was dropped for its size stays (without a response in
    // m_Responses) until its last part, so that its remaining parts are
    // dropped too; such entries count against MAX_PENDING_RESPONSES.
    struct ResponseIntake {
        std::list<unsigned int>::iterator itAge;  // where the id stands in m_lstResponseAge
        int nParts = 0;
        size_t nBytes = 0;
        bool bDropped = false;
    };
    // Ids in the order their entries were last touched, oldest first.
    std::list<unsigned int> m_lstResponseAge;
    std::unordered_map<unsigned int, ResponseIntake> m_ResponseIntake;
    // Body bytes of the responses kept (those of entries not dropped).
    size_t m_nPendingResponseBytes = 0;
    GrowingStr m_sScratch;  // texts that reach the end of the message memory
    // While FireEvents runs: its flag, which the destructor clears.
    bool* m_pbAlive = nullptr;
};
