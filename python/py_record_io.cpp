// The native ends of `qrx record`, `qrx replay` and `qrx dump`: a recorder
// that subscribes and writes every update and status event into a recording
// without a Python call per update (so that it keeps up with a fast feed), and
// a reader that hands the entries of a recording to Python.
#include "py_record_io.h"

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "py_bindings.h"
#include "py_record_dict.h"
#include "py_sym_requests.h"
#include "qrx/client/sym_connection.h"
#include "qrx/client/sym_listener.h"
#include "qrx/marketdata/sym_data.h"
#include "record_file.h"

namespace py = pybind11;

namespace {

constexpr const char* kBusy = "the recorder is already running";

// Bounds each wait of the loop, so that a deadline is seen without traffic.
constexpr long kWaitMicros = 100000;
// A run longer than this (seconds; infinity among them) has no deadline: the
// nanosecond clock could not count that far ahead.
constexpr double kLongestRun = 1e9;

// Longest time updates stay in the writer's buffer: when traffic pauses, and
// at least this often, they go to the file, so that a recording cut short by
// a crash or a kill loses little and can be read while it grows.
constexpr uint64_t kFlushNanos = 1000000000;

// A path from Python, refused when it holds a NUL (it would be read only up to it).
const std::string& CheckedPath(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        throw py::value_error("path holds a NUL character");
    }
    return path;
}

// A counter written by the dispatching thread only and read by any: no locked
// instruction on the hot path.
class Counter {
public:
    void Add() { m_n.store(m_n.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
    void Set(uint64_t v) { m_n.store(v, std::memory_order_relaxed); }
    uint64_t Get() const { return m_n.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> m_n{0};
};

class Recorder : public CSymListener {
public:
    explicit Recorder(const std::string& path);
    ~Recorder() override;

    void OnData(const char* topic, const CSymData* data) override {
        Record(pyqrx::kRecordUpdate, topic, strlen(topic), *data);
    }
    void OnData(const CSymTopic*, const CSymData* data) override {
        RecordStructured(pyqrx::kRecordUpdate, *data);
    }
    void OnSnapshotData(const char* topic, const CSymData* data) override {
        Record(pyqrx::kRecordSnapshot, topic, strlen(topic), *data);
    }
    void OnSnapshotData(const CSymTopic*, const CSymData* data) override {
        RecordStructured(pyqrx::kRecordSnapshot, *data);
    }
    void OnStatus(enSymStatusCode code, const char* text) override;
    void OnSymbolStatus(const char* topic, const char* message, enSymStatusCode code) override;
    void OnEndTickGroupRead() override { CheckTime(false); }

    // ---- the methods Python sees ----
    bool PyConnect(py::handle host, int port, py::handle username, py::handle password);
    bool PySubscribe(py::handle topic);
    std::string PyRun(double seconds, long long count);
    void PyStop();
    py::dict PyStats() const;
    void PyClose();

private:
    static void WaitEnter(void* data);
    static bool WaitLeave(void* data);
    static void Idle(void* data);
    // A write of the recording waits for an output that takes nothing: Ctrl-C
    // (its error held for the Python call under way) or a stop gives it up.
    static bool Interrupted(void* data);
    // The writer's waits for the output and its writes give the interpreter lock up, so
    // that other threads run (and can stop the run) while the output takes nothing.
    static void WriteEnter(void* data);
    static void WriteLeave(void* data);

    void Record(pyqrx::RecordKind kind, const char* topic, size_t len, const CSymData& data);
    void RecordStructured(pyqrx::RecordKind kind, const CSymData& data);
    // Ends the run at its deadline; writes the buffer out when idle or when
    // it has waited kFlushNanos.
    void CheckTime(bool bIdle);
    // Ends the running loop, saying why.
    void End(const char* reason);

    CSymConnection* m_pConnection;
    pyqrx::RecordFileWriter m_writer;
    Counter m_nUpdates;
    Counter m_nSnapshots;
    Counter m_nStatuses;
    Counter m_nBytes;  // written or buffered, for stats() on any thread
    Counter m_nFirst;  // receive time of the first record, ns
    Counter m_nLast;   // of the last
    std::atomic<bool> m_bLogonRefused{false};
    std::atomic<bool> m_bStopRequested{false};
    uint64_t m_nLimit = 0;      // records to take, 0 without limit
    uint64_t m_nDeadline = 0;   // ns, 0 without
    uint64_t m_nLastFlush = 0;  // ns
    const char* m_szReason = nullptr;
    bool m_bBusy = false;
    std::thread::id m_dispatcher;
    PyThreadState* m_pWriterState = nullptr;  // while the writer waits or writes
};

Recorder::Recorder(const std::string& path) : m_pConnection(nullptr) {
    CheckedPath(path);
    m_pConnection = new CSymConnection(nullptr);
    if (!m_writer.Open(path.c_str(), pyqrx::NowNanos())) {
        delete m_pConnection;
        throw py_error(m_writer.Error());
    }
    m_pConnection->SetWaitHooks(&Recorder::WaitEnter, &Recorder::WaitLeave, this);
    m_writer.SetInterruptCheck(&Recorder::Interrupted, this);
    m_writer.SetWaitHooks(&Recorder::WriteEnter, &Recorder::WriteLeave, this);
    m_nBytes.Set(m_writer.BytesWritten());
}

Recorder::~Recorder() {
    m_pConnection->SetWaitHooks(nullptr, nullptr, nullptr);
    m_writer.SetInterruptCheck(nullptr, nullptr);  // no Python call is under way to take an error
    m_writer.SetWaitHooks(nullptr, nullptr, nullptr);
    if (m_pConnection->GetFd() >= 0) {
        m_pConnection->UnsubscribeAll();
    }
    m_pConnection->Disconnect();
    delete m_pConnection;
    m_writer.Close();
}

void Recorder::WaitEnter(void*) {
    pyqrx::ReleaseLock();
}

bool Recorder::WaitLeave(void* data) {
    if (pyqrx::TakeLock()) {
        return true;
    }
    Recorder* self = static_cast<Recorder*>(data);
    if (self->m_dispatcher == std::this_thread::get_id()) {
        self->m_pConnection->InterruptDispatch();
    }
    return false;
}

void Recorder::Idle(void* data) {
    static_cast<Recorder*>(data)->CheckTime(true);
}

bool Recorder::Interrupted(void* data) {
    if (PyErr_CheckSignals() != 0) {
        pyqrx::pending_error::Take();
    }
    return pyqrx::pending_error::Pending() || static_cast<Recorder*>(data)->m_bStopRequested;
}

void Recorder::WriteEnter(void* data) {
    static_cast<Recorder*>(data)->m_pWriterState = PyEval_SaveThread();
}

void Recorder::WriteLeave(void* data) {
    Recorder* self = static_cast<Recorder*>(data);
    PyThreadState* state = self->m_pWriterState;
    self->m_pWriterState = nullptr;
    pyqrx::RestoreThread(state);
}

void Recorder::End(const char* reason) {
    if (m_szReason == nullptr) {
        m_szReason = reason;
        m_pConnection->Disconnect();
    }
}

void Recorder::CheckTime(bool bIdle) {
    if (m_szReason != nullptr) {
        return;
    }
    const uint64_t now = pyqrx::NowNanos();
    if (m_nDeadline != 0 && now >= m_nDeadline) {
        End("seconds");
        return;
    }
    if (bIdle || now - m_nLastFlush >= kFlushNanos) {
        m_nLastFlush = now;
        if (!m_writer.Flush()) {
            End("error");
        }
    }
}

void Recorder::Record(pyqrx::RecordKind kind, const char* topic, size_t len, const CSymData& data) {
    if (m_szReason != nullptr) {
        return;  // the run ended inside this message
    }
    const uint64_t now = pyqrx::NowNanos();
    if (!m_writer.AppendRecord(kind, now, topic, len, data)) {
        End("error");
        return;
    }
    if (m_nFirst.Get() == 0) {
        m_nFirst.Set(now);
    }
    m_nLast.Set(now);
    m_nBytes.Set(m_writer.BytesWritten());
    (kind == pyqrx::kRecordSnapshot ? m_nSnapshots : m_nUpdates).Add();
    if (m_nLimit != 0 && m_nUpdates.Get() + m_nSnapshots.Get() >= m_nLimit) {
        End("count");
    }
}

void Recorder::RecordStructured(pyqrx::RecordKind kind, const CSymData& data) {
    // The record's topic field holds the whole structured topic.
    const char* topic = "";
    if (!data.GetFlidStringPtr(CSymData::flid_topic, topic)) {
        topic = "";
    }
    Record(kind, topic, strlen(topic), data);
}

void Recorder::OnStatus(enSymStatusCode code, const char* text) {
    if (m_szReason == nullptr) {
        if (!m_writer.AppendStatus(pyqrx::kRecordStatus, pyqrx::NowNanos(), code, nullptr, text)) {
            End("error");
        }
        m_nBytes.Set(m_writer.BytesWritten());
        m_nStatuses.Add();
    }
    if (code == SYM_LOGIN_ERROR) {
        // Nothing follows a refused logon: the run ends here.
        m_bLogonRefused = true;
        End("refused");
    }
}

void Recorder::OnSymbolStatus(const char* topic, const char* message, enSymStatusCode code) {
    if (m_szReason == nullptr) {
        if (!m_writer.AppendStatus(pyqrx::kRecordTopicStatus, pyqrx::NowNanos(), code, topic,
                                   message)) {
            End("error");
        }
        m_nBytes.Set(m_writer.BytesWritten());
        m_nStatuses.Add();
    }
}

bool Recorder::PyConnect(py::handle host, int port, py::handle username, py::handle password) {
    pyqrx::TextArg h(host, "host");
    pyqrx::TextArg u(username, "username");
    pyqrx::TextArg p(password, "password");
    if (h.null()) {
        return false;
    }
    pyqrx::BusyGuard busy(m_bBusy, kBusy);
    m_dispatcher = std::this_thread::get_id();
    pyqrx::CallScope call;
    bool ok = m_pConnection->Connect(h.c_str(), port, u.c_str(), p.c_str());
    if (ok) {
        m_pConnection->AddClient(this);
        m_pConnection->DispatchEvents();
    }
    m_dispatcher = std::thread::id();
    call.Finish();
    return ok;
}

bool Recorder::PySubscribe(py::handle topic) {
    return pyqrx::SubscribeTopic(*m_pConnection, topic);
}

std::string Recorder::PyRun(double seconds, long long count) {
    pyqrx::BusyGuard busy(m_bBusy, kBusy);
    m_nLimit = count > 0 ? static_cast<uint64_t>(count) : 0;
    m_nDeadline = seconds > 0 && seconds < kLongestRun
                      ? pyqrx::NowNanos() + static_cast<uint64_t>(seconds * 1e9)
                      : 0;
    m_szReason = nullptr;
    m_nLastFlush = pyqrx::NowNanos();
    m_dispatcher = std::this_thread::get_id();
    pyqrx::CallScope call;
    if (!m_bStopRequested) {
        timeval tv;
        tv.tv_sec = 0;
        tv.tv_usec = kWaitMicros;
        m_pConnection->Loop(&tv, &Recorder::Idle, this);
    }
    m_dispatcher = std::thread::id();
    const bool flushed = m_writer.Flush();
    call.Finish();  // Ctrl-C: KeyboardInterrupt, the recording kept so far
    if (!flushed || (m_szReason != nullptr && strcmp(m_szReason, "error") == 0)) {
        throw py_error(m_writer.Error());
    }
    if (m_szReason != nullptr) {
        return m_szReason;
    }
    return m_bStopRequested ? "stopped" : "closed";
}

void Recorder::PyStop() {
    m_bStopRequested = true;
    m_pConnection->Disconnect();
}

py::dict Recorder::PyStats() const {
    py::dict d;
    d["updates"] = m_nUpdates.Get();
    d["snapshots"] = m_nSnapshots.Get();
    d["statuses"] = m_nStatuses.Get();
    d["bytes"] = m_nBytes.Get();
    d["first"] = m_nFirst.Get() * 1e-9;
    d["last"] = m_nLast.Get() * 1e-9;
    d["logonRefused"] = m_bLogonRefused.load();
    return d;
}

void Recorder::PyClose() {
    // The writer is the running loop's (it writes with the interpreter lock given up).
    pyqrx::BusyGuard busy(m_bBusy, kBusy);
    pyqrx::CallScope call;
    const bool ok = m_writer.Close();
    call.Finish();  // Ctrl-C during the last write
    if (!ok) {
        throw py_error(m_writer.Error());
    }
}

// Raises the error a signal handler (KeyboardInterrupt) set while a read was
// given up.
void ThrowPending() {
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
}

// Iterates over the entries of a recording:
// (time, kind, code, topic, dict of a record or text of a status event).
class RecordReader {
public:
    RecordReader(const std::string& path, bool bDecode) : m_bDecode(bDecode) {
        // Ctrl-C ends a read from a pipe that brings nothing, as KeyboardInterrupt.
        m_reader.SetInterruptCheck([](void*) { return PyErr_CheckSignals() != 0; }, nullptr);
        // Other threads run while a pipe is waited for (and may be the one to fill it).
        m_reader.SetWaitHooks(
            [](void* data) { static_cast<RecordReader*>(data)->m_pState = PyEval_SaveThread(); },
            [](void* data) {
                RecordReader* self = static_cast<RecordReader*>(data);
                PyThreadState* state = self->m_pState;
                self->m_pState = nullptr;
                pyqrx::RestoreThread(state);
            },
            this);
        if (!m_reader.Open(CheckedPath(path).c_str())) {
            ThrowPending();
            throw py_error(m_reader.Error());
        }
        if (m_dict.Dict() == nullptr) {
            throw py::error_already_set();
        }
    }

    py::tuple Next() {
        // The buffer is this call's while it reads with the interpreter lock given up.
        pyqrx::BusyGuard busy(m_bBusy, "the recording is already being read by another thread");
        pyqrx::RecordEntry e;
        const int rc = m_reader.Next(e);
        if (rc == 0) {
            throw py::stop_iteration();
        }
        if (rc < 0) {
            ThrowPending();
            throw py_error(m_reader.Error());
        }
        py::object topic = py::reinterpret_steal<py::object>(
            pyqrx::TextObject(e.topic, static_cast<Py_ssize_t>(e.topicLen)));
        if (!topic) {
            throw py::error_already_set();
        }
        py::object payload;
        if ((e.kind == pyqrx::kRecordUpdate || e.kind == pyqrx::kRecordSnapshot) && !m_bDecode) {
            payload = py::none();
        } else if (e.kind == pyqrx::kRecordUpdate || e.kind == pyqrx::kRecordSnapshot) {
            if (!m_reader.Decode(e, m_data)) {
                throw py_error(m_reader.Error());
            }
            if (!m_dict.Fill(m_data)) {
                throw py::error_already_set();
            }
            payload = py::reinterpret_steal<py::object>(PyDict_Copy(m_dict.Dict()));
        } else {
            payload = py::reinterpret_steal<py::object>(
                pyqrx::TextObject(e.payload, static_cast<Py_ssize_t>(e.payloadLen)));
        }
        if (!payload) {
            throw py::error_already_set();
        }
        return py::make_tuple(e.nanos * 1e-9, static_cast<int>(e.kind), e.code, topic, payload);
    }

    double StartTime() const { return m_reader.StartNanos() * 1e-9; }
    uint64_t Count() const { return m_reader.Count(); }

private:
    bool m_bDecode;
    bool m_bBusy = false;
    PyThreadState* m_pState = nullptr;  // while a read waits
    pyqrx::RecordFileReader m_reader;
    pyqrx::RecordDict m_dict;
    CSymData m_data;
};

}  // namespace

void RegisterRecordIo(py::module_& m) {
    py::class_<Recorder>(m, "_Recorder", R"doc(
Subscribes and writes every update, snapshot record and status event, with its
receive time, into a recording (the format of `qrx record`), in native code.)doc")
        .def(py::init<const std::string&>(), py::arg("path"),
             "Creates the recording (Exception with the reason when it cannot).")
        .def("connect", &Recorder::PyConnect, py::arg("host"), py::arg("port"),
             py::arg("username") = py::none(), py::arg("password") = py::none(),
             "Connects and logs on, as Symlistener.connect.")
        .def("subscribe", &Recorder::PySubscribe, py::arg("topic"))
        .def("run", &Recorder::PyRun, py::arg("seconds") = 0.0, py::arg("count") = 0,
             R"doc(Records until count records (0: no limit), seconds (0: no limit),
stop(), the end of the connection or Ctrl-C (KeyboardInterrupt). Returns
why: "count", "seconds", "stopped", "refused" (the logon) or "closed"; a
write failure raises.)doc")
        .def("stop", &Recorder::PyStop, "Ends a running run(); safe from any thread.")
        .def("stats", &Recorder::PyStats,
             "updates, snapshots, statuses, bytes, first and last receive time, logonRefused.")
        .def("close", &Recorder::PyClose, "Writes what is buffered and closes the recording.");

    py::class_<RecordReader>(m, "_RecordReader", R"doc(
The entries of a recording, in order, as tuples (time, kind, code, topic,
payload): kind 0 update, 1 snapshot record (payload a dict {field id: value}),
2 connection status, 3 topic status (payload the status text, code the
status code). A malformed entry raises Exception naming its offset.)doc")
        .def(py::init<const std::string&, bool>(), py::arg("path"), py::arg("decode") = true,
             "Opens a recording; with decode False records come without fields (None).")
        .def("__iter__", [](RecordReader& r) -> RecordReader& { return r; })
        .def("__next__", &RecordReader::Next)
        .def_property_readonly("startTime", &RecordReader::StartTime)
        .def_property_readonly("count", &RecordReader::Count);
}
