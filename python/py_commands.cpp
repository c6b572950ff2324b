#include "py_commands.h"

#include <climits>
#include <cstring>
#include <sstream>
#include <string>

#include "py_bindings.h"
#include "py_record_dict.h"
#include "qrx/client/sym_connection.h"

namespace py = pybind11;

namespace pyqrx {

namespace {

py::object Text(const GrowingStr& s) {
    PyObject* o = TextObject(s.c_str(), static_cast<Py_ssize_t>(s.length()));
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

py::object Char(char c) {
    return py::reinterpret_borrow<py::object>(CharObject(static_cast<unsigned char>(c)));
}

// The parameter name of a Python argument, refused with ValueError when the
// library would not store it (reserved prefix, too long, empty).
struct ParamName {
    explicit ParamName(py::handle h) : text(h, "parameter name") {
        if (text.null()) {
            throw py::type_error("a parameter name must be str or bytes, not None");
        }
        if (!CCommand::IsValidParamName(text.c_str())) {
            throw py::value_error(std::string("parameter name '") + text.c_str() +
                                  "' is not allowed (empty, too long or beginning with the "
                                  "reserved \"" +
                                  CCommand::RESERVED_PREFIX + "\")");
        }
    }
    TextArg text;
};

int IntValue(const char* name, py::handle value) {
    if (!PyLong_Check(value.ptr())) {
        throw py::type_error(std::string("int parameter '") + name + "' takes an int, not " +
                             Py_TYPE(value.ptr())->tp_name);
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow != 0 || v < INT_MIN || v > INT_MAX) {
        throw py::value_error(std::string("int parameter '") + name +
                              "' = " + py::str(value).cast<std::string>() +
                              " does not fit a signed 32-bit value");
    }
    return static_cast<int>(v);
}

double DoubleValue(const char* name, py::handle value) {
    if (!PyFloat_Check(value.ptr()) && !PyLong_Check(value.ptr())) {
        throw py::type_error(std::string("double parameter '") + name +
                             "' takes a float or int, not " + Py_TYPE(value.ptr())->tp_name);
    }
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return v;
}

// One character: a str of one character up to U+00FF, bytes of one byte, or an int 0..255.
char CharValue(const char* name, py::handle value) {
    PyObject* o = value.ptr();
    if (PyUnicode_Check(o) && PyUnicode_GetLength(o) == 1 && PyUnicode_ReadChar(o, 0) <= 0xFF) {
        return static_cast<char>(PyUnicode_ReadChar(o, 0));
    }
    if (PyBytes_Check(o) && PyBytes_GET_SIZE(o) == 1) {
        return PyBytes_AS_STRING(o)[0];
    }
    if (PyLong_Check(o) && !PyBool_Check(o)) {
        const long v = PyLong_AsLong(o);
        if (v >= 0 && v <= 255) {
            return static_cast<char>(v);
        }
        PyErr_Clear();
    }
    throw py::value_error(std::string("char parameter '") + name +
                          "' takes one character (str up to U+00FF or bytes of length 1) or an "
                          "int 0-255, not " +
                          py::repr(value).cast<std::string>());
}

void SetInt(CCommand& c, py::handle name, py::handle value) {
    ParamName n(name);
    c.SetIntParam(n.text.c_str(), IntValue(n.text.c_str(), value));
}

void SetDouble(CCommand& c, py::handle name, py::handle value) {
    ParamName n(name);
    c.SetDoubleParam(n.text.c_str(), DoubleValue(n.text.c_str(), value));
}

void SetChar(CCommand& c, py::handle name, py::handle value) {
    ParamName n(name);
    c.SetCharParam(n.text.c_str(), CharValue(n.text.c_str(), value));
}

void SetText(CCommand& c, py::handle name, py::handle value) {
    ParamName n(name);
    if (value.is_none()) {
        throw py::type_error(std::string("text parameter '") + n.text.c_str() +
                             "' takes str or bytes, not None");
    }
    TextArg v(value, "text parameter value");
    if (v.size() > static_cast<size_t>(CCommand::MAX_PART_LEN)) {
        throw py::value_error(std::string("text parameter '") + n.text.c_str() +
                              "' is longer than one message can carry (" +
                              std::to_string(CCommand::MAX_PART_LEN) + " bytes)");
    }
    c.SetStringParam(n.text.c_str(), v.c_str());
}

// By the value's type: bool and int an int parameter, float a double, str and
// bytes a text. Characters have no Python type of their own: setChar or chars=.
void SetInferred(CCommand& c, py::handle name, py::handle value) {
    PyObject* o = value.ptr();
    if (PyLong_Check(o)) {
        SetInt(c, name, value);
    } else if (PyFloat_Check(o)) {
        SetDouble(c, name, value);
    } else if (PyUnicode_Check(o) || PyBytes_Check(o)) {
        SetText(c, name, value);
    } else {
        throw py::type_error("parameter '" + py::str(name).cast<std::string>() +
                             "' must be int, float, str or bytes (chars through setChar), not " +
                             Py_TYPE(o)->tp_name);
    }
}

template <typename Setter>
void SetAll(CCommand& c, py::handle mapping, Setter set) {
    if (mapping.is_none()) {
        return;
    }
    if (!PyDict_Check(mapping.ptr())) {
        throw py::type_error(std::string("parameters must be given as a dict, not ") +
                             Py_TYPE(mapping.ptr())->tp_name);
    }
    for (auto item : py::reinterpret_borrow<py::dict>(mapping)) {
        set(c, item.first, item.second);
    }
}

void Fill(CCommand& c, py::handle params, py::handle ints, py::handle doubles, py::handle chars,
          py::handle texts) {
    SetAll(c, params, SetInferred);
    SetAll(c, ints, SetInt);
    SetAll(c, doubles, SetDouble);
    SetAll(c, chars, SetChar);
    SetAll(c, texts, SetText);
}

void SetName(CCommand& c, py::handle name) {
    TextArg n(name, "command name");
    if (!c.SetCmdName(n.null() ? "" : n.c_str())) {
        throw py::value_error("command name longer than " + std::to_string(CCommand::MAX_NAME_LEN) +
                              " bytes");
    }
}

py::dict Ints(const CCommand& c) {
    py::dict d;
    for (const auto& kv : c.GetAllIntParams()) {
        d[Text(kv.key)] = kv.value;
    }
    return d;
}

py::dict Doubles(const CCommand& c) {
    py::dict d;
    for (const auto& kv : c.GetAllDoubleParams()) {
        d[Text(kv.key)] = kv.value;
    }
    return d;
}

py::dict Chars(const CCommand& c) {
    py::dict d;
    for (const auto& kv : c.GetAllCharParams()) {
        d[Text(kv.key)] = Char(kv.value);
    }
    return d;
}

py::dict Texts(const CCommand& c) {
    py::dict d;
    for (const auto& kv : c.GetAllStringParams()) {
        d[Text(kv.key)] = Text(kv.value);
    }
    return d;
}

py::dict Params(const CCommand& c) {
    py::dict d = Ints(c);
    d.attr("update")(Doubles(c));
    d.attr("update")(Chars(c));
    d.attr("update")(Texts(c));
    return d;
}

py::object Get(const CCommand& c, py::handle name, py::object deflt) {
    TextArg n(name, "parameter name");
    if (n.null()) {
        return deflt;
    }
    const char* k = n.c_str();
    int i = 0;
    double d = 0;
    char ch = 0;
    if (c.GetIntParam(k, i)) {
        return py::int_(i);
    }
    if (c.GetDoubleParam(k, d)) {
        return py::float_(d);
    }
    if (c.GetCharParam(k, ch)) {
        return Char(ch);
    }
    auto it = c.StringParams().find(GrowingStr(k));
    if (it != c.StringParams().end() && !CCommand::IsReservedName(k, n.size())) {
        return Text(it->second);
    }
    return deflt;
}

std::string Repr(const CCommand& c, const char* cls, const CResponse* r) {
    std::ostringstream os;
    os << cls << "(" << py::repr(Text(c.CmdName())).cast<std::string>() << ", id=" << c.GetCmdId();
    if (r != nullptr) {
        os << ", status=" << CResponse::StatusName(r->GetStatus());
    }
    os << ", params=" << py::repr(Params(c)).cast<std::string>() << ")";
    return os.str();
}

}  // namespace

namespace {

// A Python object holding a copy of the command or response; null, with the error held for
// the caller, when it cannot be made.
template <class T>
PyObject* CopyObject(const T& value) {
    try {
        return py::cast(T(value)).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    }
    pending_error::Take();
    return nullptr;
}

// Calls callable(obj), taking obj over (null: making it failed); false, with the error held,
// when either failed.
bool CallTaking(const py::object& callable, PyObject* obj) {
    if (obj == nullptr) {
        return false;
    }
    PyObject* result = PyObject_CallOneArg(callable.ptr(), obj);
    Py_DECREF(obj);
    if (result == nullptr) {
        pending_error::Take();
        return false;
    }
    Py_DECREF(result);
    return true;
}

}  // namespace

PyObject* ResponseObject(const CResponse& response) {
    return CopyObject(response);
}

PyObject* CommandObject(const CCommand& command) {
    return CopyObject(command);
}

// ---- the client side ----

py::object ListenerCommands::Send(CSymConnection* conn, CCommand& command, py::object callback) {
    if (!callback.is_none() && !PyCallable_Check(callback.ptr())) {
        throw py::type_error("sendCommand's callback must be a callable or None");
    }
    DropClosed();
    if (conn == nullptr || conn->GetFd() < 0) {
        return py::none();
    }
    // Registered before the send: another thread's loop() may dispatch the
    // first response before the send returns.
    const unsigned int expected = conn->NextCommandId();
    if (!callback.is_none()) {
        m_mapWaiting[expected] = callback;
    }
    CallScope call;
    const unsigned int id = conn->SendCommand(&command);
    if (id != expected || id == CSymConnection::INVALID_COMMAND_ID) {
        m_mapWaiting.erase(expected);
        if (!callback.is_none() && id != CSymConnection::INVALID_COMMAND_ID) {
            m_mapWaiting[id] = callback;
        }
    }
    call.Finish();
    if (id == CSymConnection::INVALID_COMMAND_ID) {
        return py::none();
    }
    return py::int_(id);
}

void ListenerCommands::SetResponseCallable(py::object callable) {
    if (!callable.is_none() && !PyCallable_Check(callable.ptr())) {
        throw py::type_error("onResponse takes a callable or None");
    }
    m_pyOnResponse = callable.is_none() ? py::object() : std::move(callable);
}

void ListenerCommands::DropClosed() {
    if (m_bClosed.exchange(false)) {
        // Moved out first: dropping a callable may run code that touches the map.
        auto waiting = std::move(m_mapWaiting);
        m_mapWaiting.clear();
    }
}

bool ListenerCommands::Response(CSymConnection* conn, CResponse* response) {
    DropClosed();
    const bool bFinal = response->GetStatus() == CResponse::RESPONSE_END;
    if (conn != nullptr && bFinal) {
        conn->EndResponse(response);
    }
    py::object callable;
    auto it = m_mapWaiting.find(response->GetCmdId());
    if (it != m_mapWaiting.end()) {
        callable = it->second;
        if (bFinal) {
            m_mapWaiting.erase(it);
        }
    } else {
        callable = m_pyOnResponse;
    }
    if (!callable || pending_error::Pending()) {
        return true;
    }
    return CallTaking(callable, ResponseObject(*response));
}

int ListenerCommands::Traverse(visitproc visit, void* arg) {
    Py_VISIT(m_pyOnResponse.ptr());
    for (auto& kv : m_mapWaiting) {
        Py_VISIT(kv.second.ptr());
    }
    return 0;
}

void ListenerCommands::Clear() {
    m_pyOnResponse = py::object();
    // Moved out first: dropping a callable may run code that touches the map.
    auto waiting = std::move(m_mapWaiting);
    m_mapWaiting.clear();
}

// ---- the feed handler's side ----

void ProxyCommands::SetCommandCallable(py::object callable) {
    if (!callable.is_none() && !PyCallable_Check(callable.ptr())) {
        throw py::type_error("onCommand takes a callable or None");
    }
    m_pyOnCommand = callable.is_none() ? py::object() : std::move(callable);
}

bool ProxyCommands::Command(const CCommand& command) {
    if (!m_pyOnCommand || pending_error::Pending()) {
        return true;
    }
    const py::object held = m_pyOnCommand;  // the callable may replace itself
    return CallTaking(held, CommandObject(command));
}

// ---- registration ----

const char* const kSendCommandDoc =
    R"doc(Sends a Command (split over several messages when it is large) and
returns its id (also set on the command), or None without a connection or
when the write failed. callback(response), when given, receives every
Response to this command, each put together from its parts, until the
final one (status RESPONSE_END), or until the connection closes (it is
then let go); responses to commands sent without a callback go to the
callable of onResponse. Send commands from one thread.)doc";

const char* const kOnResponseDoc =
    R"doc(Sets callable(response), called with each Response (put together from
its parts) that answers a command sent without a callback of its own.
None removes it.)doc";

const char* const kOnCommandDoc =
    R"doc(Sets callable(command), called with each Command the client sends, put
together from its parts. Answer it with sendResponse(Response(command, ...)),
at once or later. None removes it.)doc";

const char* const kSendResponseDoc =
    R"doc(Sends a Response to the client (split over several messages when it is
large) and flushes, unless inside batch() (in queued mode the serving
thread writes it); False without a client or when nothing could be encoded. Send RESPONSE_IN_PROGRESS responses first and
one RESPONSE_END last: the client forgets the command after that.)doc";

void RegisterCommands(py::module_& m) {
    m.attr("RESPONSE_START") = static_cast<int>(CResponse::RESPONSE_START);
    m.attr("RESPONSE_IN_PROGRESS") = static_cast<int>(CResponse::RESPONSE_IN_PROGRESS);
    m.attr("RESPONSE_END") = static_cast<int>(CResponse::RESPONSE_END);

    py::class_<CCommand>(m, "Command", R"doc(
A command: a name and typed parameters that a client sends to the feed
handler, which agrees with it on their meaning. Parameters come in four
kinds, each with its own namespace: int (signed 32-bit), double, char (one
byte) and text (str or bytes, no NUL). From params= the kind follows the
value's type: bool and int an int, float a double, str and bytes a text;
chars are given with chars= or setChar(). Received texts are str (UTF-8,
undecodable bytes kept as surrogates), chars one-character str.)doc")
        .def(py::init([](py::handle name, py::handle params, py::handle ints, py::handle doubles,
                         py::handle chars, py::handle texts) {
                 CCommand c;
                 SetName(c, name);
                 Fill(c, params, ints, doubles, chars, texts);
                 return c;
             }),
             py::arg("name") = "", py::arg("params") = py::none(), py::kw_only(),
             py::arg("ints") = py::none(), py::arg("doubles") = py::none(),
             py::arg("chars") = py::none(), py::arg("texts") = py::none(),
             "A command named name with the parameters of params (kinds by value type) and of "
             "the dicts of each kind.")
        .def_property(
            "name", [](const CCommand& c) { return Text(c.CmdName()); },
            [](CCommand& c, py::handle name) { SetName(c, name); }, "The command's name.")
        .def_property_readonly(
            "id", &CCommand::GetCmdId,
            "The 32-bit id (client id + 65536 x request id), set when the command is sent.")
        .def_property_readonly("clientId", &CCommand::GetClientId, "The client id part of the id.")
        .def_property_readonly("requestId", &CCommand::GetRequestId,
                               "The request id part of the id.")
        .def_property_readonly("ints", &Ints, "The int parameters, as a new dict.")
        .def_property_readonly("doubles", &Doubles, "The double parameters, as a new dict.")
        .def_property_readonly("chars", &Chars,
                               "The char parameters, as a new dict of one-character str.")
        .def_property_readonly("texts", &Texts, "The text parameters, as a new dict of str.")
        .def_property_readonly(
            "params", &Params,
            "Every parameter in one new dict; a name used by several kinds keeps the value of "
            "the last of int, double, char, text.")
        .def("get", &Get, py::arg("name"), py::arg("default") = py::none(),
             "The parameter of that name (int, double, char, then text), or default.")
        .def("set", &SetInferred, py::arg("name"), py::arg("value"),
             "Sets a parameter whose kind follows from the value's type (int, float, str/bytes).")
        .def("setInt", &SetInt, py::arg("name"), py::arg("value"),
             "Sets an int parameter; ValueError outside the signed 32-bit range.")
        .def("setDouble", &SetDouble, py::arg("name"), py::arg("value"), "Sets a double parameter.")
        .def("setChar", &SetChar, py::arg("name"), py::arg("value"),
             "Sets a char parameter from a one-character str, one byte or an int 0-255.")
        .def("setText", &SetText, py::arg("name"), py::arg("value"),
             "Sets a text parameter from str or bytes.")
        .def("__repr__", [](const CCommand& c) { return Repr(c, "Command", nullptr); });

    py::class_<CResponse, CCommand>(m, "Response", R"doc(
A response to a command: a Command (the same name and id) with a status,
RESPONSE_START, RESPONSE_IN_PROGRESS or RESPONSE_END (the final one).)doc")
        .def(py::init([](py::object command, py::handle params, unsigned status, py::handle name,
                         py::handle ints, py::handle doubles, py::handle chars, py::handle texts) {
                 CResponse r;
                 if (!command.is_none()) {
                     r = CResponse(command.cast<const CCommand&>());
                 }
                 if (!name.is_none()) {
                     SetName(r, name);
                 }
                 r.SetStatus(status);
                 Fill(r, params, ints, doubles, chars, texts);
                 return r;
             }),
             py::arg("command") = py::none(), py::arg("params") = py::none(), py::kw_only(),
             py::arg("status") = CResponse::RESPONSE_END, py::arg("name") = py::none(),
             py::arg("ints") = py::none(), py::arg("doubles") = py::none(),
             py::arg("chars") = py::none(), py::arg("texts") = py::none(),
             "A response to command (its id and name), final by default, with parameters as "
             "for Command.")
        .def_property("status", &CResponse::GetStatus, &CResponse::SetStatus,
                      "RESPONSE_START, RESPONSE_IN_PROGRESS or RESPONSE_END.")
        .def_property_readonly(
            "statusName", [](const CResponse& r) { return CResponse::StatusName(r.GetStatus()); },
            "\"RESPONSE_START\", \"RESPONSE_IN_PROGRESS\", \"RESPONSE_END\" or \"INVALID\".")
        .def_property_readonly(
            "final", [](const CResponse& r) { return r.GetStatus() == CResponse::RESPONSE_END; },
            "True for the last response to a command.")
        .def("__repr__", [](const CResponse& r) { return Repr(r, "Response", &r); });
}

}  // namespace pyqrx
