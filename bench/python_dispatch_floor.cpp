// The floor against which bench/python_dispatch_bench.py measures the delivery of
// updates to Python: the cheapest way to hand a record to a callable as a dict
// with the raw C API. The records are decoded before timing; each round builds
// a presized dict with cached int keys, calls the callable with (topic, dict)
// and drops the dict. No socket, no decoding, no reuse across updates.
#include <Python.h>

#include <chrono>
#include <vector>

#include "qrx/marketdata/sym_data.h"
#include "qrx/marketdata/sym_data_aux.h"
#include "qrx/wire/net_stream.h"

namespace {

PyObject* g_keys[CSymData::MAX_FLIDS];

// Builds the dict of one record, field by field, from the record's maps.
PyObject* BuildDict(const CSymData& d) {
    const size_t n = d.m_map_flid_2_double.size() + d.m_map_flid_2_int.size() +
                     d.m_map_flid_2_GrowingStr.size() + d.m_map_flid_2_char.size();
    PyObject* dict = _PyDict_NewPresized(static_cast<Py_ssize_t>(n));
    if (dict == nullptr) {
        return nullptr;
    }
    bool ok = true;
    auto put = [&](int id, PyObject* v) {
        if (v == nullptr || PyDict_SetItem(dict, g_keys[id], v) != 0) {
            ok = false;
        }
        Py_XDECREF(v);
    };
    for (auto it = d.m_map_flid_2_double.begin(); ok && it != d.m_map_flid_2_double.end(); ++it) {
        put(it.Id(), PyFloat_FromDouble(it.Value()));
    }
    for (auto it = d.m_map_flid_2_int.begin(); ok && it != d.m_map_flid_2_int.end(); ++it) {
        put(it.Id(), PyLong_FromLong(it.Value()));
    }
    for (auto it = d.m_map_flid_2_GrowingStr.begin(); ok && it != d.m_map_flid_2_GrowingStr.end();
         ++it) {
        put(it.Id(),
            PyUnicode_DecodeUTF8(it.Value().c_str(), it.Value().length(), "surrogateescape"));
    }
    for (auto it = d.m_map_flid_2_char.begin(); ok && it != d.m_map_flid_2_char.end(); ++it) {
        put(it.Id(), PyUnicode_FromOrdinal(static_cast<unsigned char>(it.Value())));
    }
    if (!ok) {
        Py_DECREF(dict);
        return nullptr;
    }
    return dict;
}

// deliver(callable, bodies, n) -> seconds: decodes the record bodies (a list of
// bytes), then calls callable(topic, dict) n times cycling through them.
PyObject* Deliver(PyObject*, PyObject* args) {
    PyObject* callable;
    PyObject* bodies;
    long n;
    if (!PyArg_ParseTuple(args, "OO!l", &callable, &PyList_Type, &bodies, &n)) {
        return nullptr;
    }
    std::vector<CSymData> records(static_cast<size_t>(PyList_GET_SIZE(bodies)));
    std::vector<PyObject*> topics;
    for (size_t i = 0; i < records.size(); ++i) {
        PyObject* b = PyList_GET_ITEM(bodies, i);
        if (!PyBytes_Check(b)) {
            PyErr_SetString(PyExc_TypeError, "record bodies are bytes");
            return nullptr;
        }
        CNetStream in(PyBytes_AS_STRING(b), static_cast<int>(PyBytes_GET_SIZE(b)), false);
        const char* topic = nullptr;
        if (!CSymDataAux::SerializeSymIn(records[i], in) ||
            !records[i].GetFlidStringPtr(CSymData::flid_topic, topic)) {
            PyErr_SetString(PyExc_ValueError, "a record body does not decode");
            return nullptr;
        }
        topics.push_back(PyUnicode_FromString(topic));
    }
    if (records.empty()) {
        PyErr_SetString(PyExc_ValueError, "no records");
        return nullptr;
    }
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
        const size_t k = static_cast<size_t>(i) % records.size();
        PyObject* dict = BuildDict(records[k]);
        if (dict == nullptr) {
            return nullptr;
        }
        PyObject* argv[2] = {topics[k], dict};
        PyObject* r = PyObject_Vectorcall(callable, argv, 2, nullptr);
        Py_DECREF(dict);
        if (r == nullptr) {
            return nullptr;
        }
        Py_DECREF(r);
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (PyObject* t : topics) {
        Py_DECREF(t);
    }
    return PyFloat_FromDouble(secs);
}

PyMethodDef kMethods[] = {
    {"deliver", Deliver, METH_VARARGS,
     "deliver(callable, bodies, n) -> seconds spent handing n dicts to callable."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "pyqrx_dispatch_floor",
                       "Raw C API floor of dict delivery, for the Python benchmark.",
                       -1,
                       kMethods,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_pyqrx_dispatch_floor() {
    for (int id = 0; id < CSymData::MAX_FLIDS; ++id) {
        if ((g_keys[id] = PyLong_FromLong(id)) == nullptr) {
            return nullptr;
        }
    }
    return PyModule_Create(&kModule);
}
