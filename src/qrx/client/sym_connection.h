// CSymConnection: the client's connection to the symbol server. Always in
// stream form; logs on as soon as the TCP connection stands, without waiting
// for the verdict (it comes back as a status event to the listeners), and
// sends the Sym requests: subscriptions and snapshots, order-book requests and
// commands. Only Sym listeners are accepted; each is told its connection.
//
// Requests may be sent from any thread (each message is built on the caller's
// stack and written under the connection's mutex). Commands are numbered
// without a lock: send them from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "qrx/client/api_connection.h"
#include "qrx/runtime/growing_str.h"
#include "qrx/runtime/mutex_lock.h"

class CCommand;
class CResponse;
struct MsgHdrCmn;
struct stLogin;

namespace QuorCOB {
class CCOBRequest;
}  // namespace QuorCOB

class CSymConnection : public CApiConnection {
public:
    static constexpr int USER_NAME_LEN = 32;     // 31 characters and the NUL
    static constexpr int PASSWORD_LEN = 32;      // 31 characters and the NUL
    static constexpr int LOGIN_MODULE_LEN = 30;  // 29 characters and the NUL
    static constexpr int TOPIC_AREA_LEN = 512;   // string-returning topic builders
    static constexpr unsigned int INVALID_COMMAND_ID = 0xFFFFFFFF;
    static constexpr int SYM_PROTOCOL_VERSION = 3;

    // The custom logon library is customLoginModule or, when that is null,
    // the environment variable QUOR_SYM_CUSTOM_LOGIN_MODULE. A path longer
    // than 29 characters is not used (a cut path would name another file).
    explicit CSymConnection(const char* customLoginModule = nullptr);
    ~CSymConnection() override;

    // The generic forms: the socket is in stream form whatever isStream says,
    // the form the symbol server and the listeners read.
    bool Connect(const char* host, int port, bool isStream) override;
    bool Connect(const char* host, const char* service, bool isStream) override;
    bool ConnectU(const char* ipcPath, bool isStream) override;

    // Only CSymListener objects are added; each is attached to this connection
    // until it is removed or either of the two is destroyed.
    void AddClient(CApiListener* listener) override;
    void RemoveClient(CApiListener* listener) override;
    // "SYM_API".
    const char* GetDescription() override;
    // Sends the logon (Login).
    bool OnConnect() override;

    // Host from QUOR_SYMHOST, service from QUOR_SYMSERV or "symserv".
    virtual bool Connect(const char* user, const char* password);
    virtual bool Connect(const char* host, int port, const char* user, const char* password);
    // A service text that is a non-zero decimal number is taken as the port.
    virtual bool Connect(const char* host, const char* service, const char* user,
                         const char* password);
    virtual bool ConnectU(const char* ipcPath, const char* user, const char* password);

    // Each non-null argument replaces the stored value, cut to 31 characters.
    void SetLoginCredentials(const char* user, const char* password);
    const char* GetUserName() const { return m_szUserName; }
    const char* GetCustomLoginModule() const { return m_szCustomLoginModule; }

    // Writes the Sym logon; true when the write succeeded.
    bool Login();
    // Runs "PopulateCustomLoginInfo" of the library at path on the record.
    static bool CustomLogin(const char* path, stLogin* login);

    // ---- requests: false without a socket object or when the write fails.
    // Topics are cut to 127 characters; a null topic is refused. ----
    bool Subscribe(const char* topic);
    bool Unsubscribe(const char* topic);
    bool SubscribeAll();
    bool UnsubscribeAll();
    bool Snapshot(const char* topic);
    bool SnapshotAll();
    // In messages of at most 100 topics, in order; false at the first failed
    // write. An empty list sends nothing.
    bool Subscribe(const std::vector<GrowingStr>& topics);
    bool Unsubscribe(const std::vector<GrowingStr>& topics);
    bool Subscribe(const char* topic, short symbolType);
    bool Unsubscribe(const char* topic, short symbolType);
    bool SubscribeWithSize(const char* topic, int nearSize, int farSize, int reqId);
    bool UnsubscribeWithSize(const char* topic, int nearSize, int farSize, int reqId);
    // False also for a request too big for one message.
    bool SubscribeCOB(const QuorCOB::CCOBRequest& request);
    bool UnsubscribeCOB(const QuorCOB::CCOBRequest& request);

    // ---- commands ----
    // Stamps the command with this connection's client id and the next
    // request id, sends it in as many messages as it needs and returns its
    // 32-bit id, or INVALID_COMMAND_ID on failure.
    unsigned int SendCommand(CCommand* command);
    // The id of the command this connection sent that the response answers.
    bool GetCommandId(const CResponse* response, unsigned int& commandId);
    // Forgets the command of a final response (status 2). Always false.
    bool EndResponse(const CResponse* response);
    // The id the next SendCommand gives its command, so that a caller can
    // expect its responses before the send returns.
    unsigned int NextCommandId() const {
        const uint16_t request = m_nCmdRequestId == 0xFFFF ? 0 : m_nCmdRequestId;
        return static_cast<unsigned int>(m_nCmdClientId) |
               (static_cast<unsigned int>(request) << 16);
    }
    void SetCmdClientId(unsigned short id) { m_nCmdClientId = id; }
    unsigned short GetCmdClientId() const { return m_nCmdClientId; }

    // ---- topic builders (see CSymTopicBuilders). The forms taking a source
    // name convert it with the source table; an unknown name builds nothing.
    // The string forms build into a zeroed area of 512 bytes. ----
    static int CreateDepthTopic(const char* symbol, char source, char* topic,
                                size_t topicSize = 128);
    static int CreateDepthTopic(const char* symbol, const char* sourceName, char* topic,
                                size_t topicSize = 128);
    static std::string CreateDepthTopic(const char* symbol, char source);
    static std::string CreateDepthTopic(const char* symbol, const char* sourceName);

    static int CreatePortSymbolTopic(const char* portfolio, const char* symbol, char* topic,
                                     size_t topicSize = 128);
    static std::string CreatePortSymbolTopic(const char* portfolio, const char* symbol);

    static bool CreateDirectFeedTopic(char* topic, const char* symbol, char source, size_t length);
    static bool CreateDirectFeedTopic(char* topic, const char* symbol, const char* sourceName,
                                      size_t length);
    static std::string CreateDirectFeedTopic(const char* symbol, char source);
    static std::string CreateDirectFeedTopic(const char* symbol, const char* sourceName);

    static int CreateGreekTopic(const char* symbol, char* topic, size_t topicSize = 128);
    static std::string CreateGreekTopic(const char* symbol);

    static bool CreateMMIDTopic(const char* symbol, char source, const char* mmid, char* topic,
                                int length);
    static bool CreateMMIDTopic(const char* symbol, const char* sourceName, const char* mmid,
                                char* topic, int length);
    static std::string CreateMMIDTopic(const char* symbol, char source, const char* mmid);
    static std::string CreateMMIDTopic(const char* symbol, const char* sourceName,
                                       const char* mmid);

    static int CreateSymbolRiskUserTopic(const char* symbol, const char* user, char* topic,
                                         size_t topicSize = 128);
    static std::string CreateSymbolRiskUserTopic(const char* symbol, const char* user);

    static int CreateSymbolOptionUserTopic(const char* symbol, const char* user, char* topic,
                                           size_t topicSize = 128);
    static std::string CreateSymbolOptionUserTopic(const char* symbol, const char* user);

    static bool CreateSymbolAliasTopic(const char* subscribeSymbol, const char* publishSymbol,
                                       char* topic, int length, short symbolType);
    static std::string CreateSymbolAliasTopic(const char* subscribeSymbol,
                                              const char* publishSymbol, short symbolType);

protected:
    char m_szUserName[USER_NAME_LEN];
    char m_szPassword[PASSWORD_LEN];
    char m_szCustomLoginModule[LOGIN_MODULE_LEN];
    uint16_t m_nCmdClientId;
    uint16_t m_nCmdRequestId;
    std::map<uint16_t, uint32_t> m_cmdIdMap;
    std::set<uint32_t> m_UniqueCmdIdSet;

private:
    // Completes the Sym header of msg (type, sub-type, length for a body of
    // bodyLen bytes) and writes it; false without a socket object.
    bool WriteSym(MsgHdrCmn* msg, short mtyp, short submtyp, int bodyLen);
    bool SendTopic(short mtyp, short submtyp, const char* topic);
    bool SendTopicType(short mtyp, short submtyp, const char* topic, short symbolType);
    bool SendTopicSize(short mtyp, const char* topic, int nearSize, int farSize, int reqId);
    bool SendTopicList(short mtyp, const std::vector<GrowingStr>& topics);
    bool SendCOB(short mtyp, const QuorCOB::CCOBRequest& request);
    // Unattaches a Sym listener attached to this connection.
    void Detach(CApiListener* listener);

    // Guards m_cmdIdMap: commands are recorded by the sending thread and
    // looked up by the thread that reads the responses.
    KoMutexLock m_cmdIdLock;
};
