// Commands and responses for Python: the classes Command and Response (a
// CCommand and a CResponse with typed parameters converted to and from Python
// values), the client's side (sending a command, handing its responses to a
// callable, per command or for all) and the feed handler's side (a callable
// for every command received, and sending responses).
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <unordered_map>

#include "qrx/wire/response.h"

class CSymConnection;

namespace pyqrx {

// The classes Command and Response and the RESPONSE_* constants.
void RegisterCommands(pybind11::module_& m);

// A Python object of the library's response, a copy (null with the error held).
PyObject* ResponseObject(const CResponse& response);
// A Python object of the library's command, a copy (null with the error held).
PyObject* CommandObject(const CCommand& command);

// The client's commands: what it sent and who waits for the answers.
class ListenerCommands {
public:
    // Sends command on conn (its id is set by the sending); callback, when
    // given, receives every response to it until the final one. The id, or
    // None when the command could not be sent.
    pybind11::object Send(CSymConnection* conn, CCommand& command, pybind11::object callback);
    void SetResponseCallable(pybind11::object callable);
    // Hands a response put together to the callable of its command, else to
    // the one of onResponse. False when the callable raised (the error is held
    // by pending_error).
    bool Response(CSymConnection* conn, CResponse* response);
    size_t Waiting() const { return m_mapWaiting.size(); }
    // The connection the commands went out on has closed: no answer can come
    // any more, so their callables are let go at the next send or response
    // (here no Python code may run, nor the interpreter lock be taken).
    void ConnectionClosed() { m_bClosed.store(true); }

    int Traverse(visitproc visit, void* arg);
    void Clear();

private:
    // Lets the callables of a closed connection's commands go.
    void DropClosed();

    pybind11::object m_pyOnResponse;
    std::unordered_map<unsigned int, pybind11::object> m_mapWaiting;  // command id -> callable
    std::atomic<bool> m_bClosed{false};
};

// The feed handler's commands: the callable that receives them.
class ProxyCommands {
public:
    void SetCommandCallable(pybind11::object callable);
    bool HasCallable() const { return static_cast<bool>(m_pyOnCommand); }
    // callable(command); False when it raised (the error is held by pending_error).
    bool Command(const CCommand& command);

    int Traverse(visitproc visit, void* arg) {
        Py_VISIT(m_pyOnCommand.ptr());
        return 0;
    }
    void Clear() { m_pyOnCommand = pybind11::object(); }

private:
    pybind11::object m_pyOnCommand;
};

extern const char* const kSendCommandDoc;
extern const char* const kOnResponseDoc;
extern const char* const kOnCommandDoc;
extern const char* const kSendResponseDoc;

}  // namespace pyqrx
