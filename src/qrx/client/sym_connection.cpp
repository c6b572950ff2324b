// CSymConnection: construction, the connect forms and the logon.
#include "qrx/client/sym_connection.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qrx/client/sym_listener.h"
#include "qrx/net/sock_utils.h"
#include "qrx/net/tcp_utils.h"
#include "qrx/runtime/dynamic_lib.h"
#include "qrx/runtime/environment.h"
#include "qrx/runtime/fixed_text.h"
#include "qrx/wire/msg_hdr.h"
#include "qrx/wire/session_msgs.h"

namespace {

// The Sym logon message: the Sym header and the logon record.
using SymLoginMsg = HdrMsg<stLogin>;
static_assert(sizeof(SymLoginMsg) == 328, "a logon message is 328 bytes");

typedef bool (*PopulateCustomLoginInfoFn)(stLogin*);

}  // namespace

CSymConnection::CSymConnection(const char* customLoginModule)
    : m_szUserName{},
      m_szPassword{},
      m_szCustomLoginModule{},
      m_nCmdClientId(0),
      m_nCmdRequestId(0) {
    const char* module =
        customLoginModule != nullptr ? customLoginModule : getenv("QUOR_SYM_CUSTOM_LOGIN_MODULE");
    if (module != nullptr && module[0] != '\0') {
        if (strlen(module) < sizeof m_szCustomLoginModule) {
            CopyCut(m_szCustomLoginModule, sizeof m_szCustomLoginModule, module);
        } else {
            fprintf(stderr,
                    "Custom login module path '%s' is longer than %d characters: not used\n",
                    module, LOGIN_MODULE_LEN - 1);
        }
    }
}

CSymConnection::~CSymConnection() {
    // The listeners outlive it unattached.
    for (CApiListener* listener : m_setClients) {
        Detach(listener);
    }
    m_cmdIdMap.clear();
    m_UniqueCmdIdSet.clear();
}

const char* CSymConnection::GetDescription() {
    return "SYM_API";
}

void CSymConnection::AddClient(CApiListener* listener) {
    CSymListener* symListener = dynamic_cast<CSymListener*>(listener);
    if (symListener == nullptr) {
        return;
    }
    symListener->SetSymConnection(this);
    CApiConnection::AddClient(listener);
}

void CSymConnection::RemoveClient(CApiListener* listener) {
    CApiConnection::RemoveClient(listener);
    Detach(listener);
}

void CSymConnection::Detach(CApiListener* listener) {
    CSymListener* symListener = dynamic_cast<CSymListener*>(listener);
    if (symListener != nullptr && symListener->GetSymConnection() == this) {
        symListener->SetSymConnection(nullptr);
    }
}

void CSymConnection::SetLoginCredentials(const char* user, const char* password) {
    if (user != nullptr) {
        CopyCut(m_szUserName, sizeof m_szUserName, user);
    }
    if (password != nullptr) {
        CopyCut(m_szPassword, sizeof m_szPassword, password);
    }
}

// ---------------------------------------------------------------- connecting

bool CSymConnection::Connect(const char* user, const char* password) {
    const char* host = getenv("QUOR_SYMHOST");
    if (host == nullptr) {
        fprintf(stderr, "Error: environment QUOR_SYMHOST is not set\n");
        return false;
    }
    const char* service = getenv("QUOR_SYMSERV");
    if (service == nullptr) {
        service = "symserv";
    }
    return Connect(host, service, user, password);
}

bool CSymConnection::Connect(const char* host, const char* service, const char* user,
                             const char* password) {
    if (service != nullptr && service[0] != '\0' && IsNumber(service)) {
        // A text that names no port gives -1, which lets the connect fail.
        const int port = CTcpUtils::PortFromDigits(service);
        if (port != 0) {
            return Connect(host, port, user, password);
        }
    }
    SetLoginCredentials(user, password);
    return CApiConnection::Connect(host, service, true);
}

bool CSymConnection::Connect(const char* host, int port, const char* user, const char* password) {
    SetLoginCredentials(user, password);
    return CApiConnection::Connect(host, port, true);
}

bool CSymConnection::ConnectU(const char* ipcPath, const char* user, const char* password) {
    SetLoginCredentials(user, password);
    return CApiConnection::ConnectU(ipcPath, true);
}

bool CSymConnection::Connect(const char* host, int port, bool isStream) {
    (void)isStream;
    return CApiConnection::Connect(host, port, true);
}

bool CSymConnection::Connect(const char* host, const char* service, bool isStream) {
    (void)isStream;
    return CApiConnection::Connect(host, service, true);
}

bool CSymConnection::ConnectU(const char* ipcPath, bool isStream) {
    (void)isStream;
    return CApiConnection::ConnectU(ipcPath, true);
}

bool CSymConnection::OnConnect() {
    return Login();
}

// ---------------------------------------------------------------- logon

bool CSymConnection::Login() {
    SymLoginMsg msg;
    memset(&msg, 0, sizeof msg);
    msg.hdr.mtyp = CM_LOGIN;
    msg.hdr.submtyp = CM_LOGIN;
    msg.body.protocol_version = SYM_PROTOCOL_VERSION;
    if (m_szUserName[0] != '\0') {
        CopyCut(msg.body.username, sizeof msg.body.username, m_szUserName);
    } else {
        char addr[QRX_ADDR_TEXT_LEN] = {};
        if (hostaddr_dots("localhost", addr) != nullptr) {
            CopyCut(msg.body.username, sizeof msg.body.username, addr);
        }
    }
    CopyCut(msg.body.password, sizeof msg.body.password, m_szPassword);
    if (m_szCustomLoginModule[0] != '\0') {
        CustomLogin(m_szCustomLoginModule, &msg.body);
    }
    SetMsgLen(reinterpret_cast<MsgHdrSym*>(&msg), static_cast<int>(sizeof(stLogin)));
    return WriteBlock(&msg);
}

bool CSymConnection::CustomLogin(const char* path, stLogin* login) {
    if (path == nullptr || path[0] == '\0' || login == nullptr) {
        return false;
    }
    CDynamicLib lib;  // unloads the library when it goes out of scope
    if (!lib.Load(path, false)) {
        fprintf(stderr, "Unable to load '%s'. Error '%s'\n", path, lib.GetErrorString());
        return false;
    }
    void* symbol = lib.GetFunctionPointer("PopulateCustomLoginInfo");
    if (symbol == nullptr) {
        fprintf(stderr, "Custom Login Error '%s'\n", lib.GetErrorString());
        return false;
    }
    PopulateCustomLoginInfoFn populate = reinterpret_cast<PopulateCustomLoginInfoFn>(symbol);
    return populate(login);
}
