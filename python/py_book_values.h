// Conversions shared by the order-book and depth bindings: library texts and
// characters as Python objects, checked Python ints, floats and characters,
// named tuples of the package, and calling a callable with an argument built
// only when there is a callable.
#pragma once

#include <pybind11/pybind11.h>

#include <climits>
#include <cstring>
#include <initializer_list>
#include <string>

#include "py_bindings.h"
#include "py_record_dict.h"
#include "qrx/runtime/growing_str.h"

namespace pyqrx {
namespace bookvalues {

namespace py = pybind11;

inline py::object Text(const char* s, size_t len) {
    PyObject* o = TextObject(s, static_cast<Py_ssize_t>(len));
    if (o == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(o);
}

inline py::object Text(const GrowingStr& s) {
    return Text(s.c_str(), s.length());
}

// The NUL character reads as the empty string, any other as itself.
inline py::object CharOrEmpty(char c) {
    if (c == '\0') {
        return py::str("");
    }
    return py::reinterpret_borrow<py::object>(CharObject(static_cast<unsigned char>(c)));
}

inline py::object Make(PyObject* type, std::initializer_list<py::object> args) {
    py::tuple t(args.size());
    size_t i = 0;
    for (const auto& a : args) {
        t[i++] = a;
    }
    return py::reinterpret_borrow<py::object>(type)(*t);
}

inline int AsInt(py::handle v, const char* what) {
    if (!PyLong_Check(v.ptr())) {
        throw py::type_error(std::string(what) + " must be an int, not " +
                             Py_TYPE(v.ptr())->tp_name);
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (overflow != 0 || n < INT_MIN || n > INT_MAX) {
        throw py::value_error(std::string(what) + " does not fit a signed 32-bit int");
    }
    return static_cast<int>(n);
}

inline double AsDouble(py::handle v, const char* what) {
    if (!PyFloat_Check(v.ptr()) && !PyLong_Check(v.ptr())) {
        throw py::type_error(std::string(what) + " must be a float, not " +
                             Py_TYPE(v.ptr())->tp_name);
    }
    const double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return d;
}

// One character (str up to U+00FF, one byte) or the empty string / None for none.
inline char AsChar(py::handle v, const char* what) {
    PyObject* o = v.ptr();
    if (o == Py_None) {
        return '\0';
    }
    if (PyUnicode_Check(o) && PyUnicode_GetLength(o) <= 1) {
        if (PyUnicode_GetLength(o) == 0) {
            return '\0';
        }
        const Py_UCS4 c = PyUnicode_ReadChar(o, 0);
        if (c <= 0xFF) {
            return static_cast<char>(c);
        }
    }
    if (PyBytes_Check(o) && PyBytes_GET_SIZE(o) <= 1) {
        return PyBytes_GET_SIZE(o) == 0 ? '\0' : PyBytes_AS_STRING(o)[0];
    }
    throw py::value_error(std::string(what) + " must be one character, not " +
                          py::repr(v).cast<std::string>());
}

inline PyObject* Held(py::object o) {
    return o.release().ptr();
}

inline py::object Checked(py::object c, const char* what) {
    if (c.is_none()) {
        return py::object();
    }
    if (!PyCallable_Check(c.ptr())) {
        throw py::type_error(std::string(what) + " takes a callable or None");
    }
    return c;
}

// Runs f, which builds the Python argument; calls callable with it. False with the error held.
template <typename F>
inline bool CallWithBuilt(const py::object& callable, F build) {
    if (!callable || pending_error::Pending()) {
        return true;
    }
    try {
        py::object arg = build();
        py::object held = callable;
        held(arg);
        return true;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    pending_error::Take();
    return false;
}

inline py::object NamedTuple(py::module_& m, const char* name, const char* fields,
                             py::tuple defaults, const char* doc) {
    py::object nt = py::module_::import("collections").attr("namedtuple");
    py::object t = nt(name, fields, py::arg("defaults") = defaults);
    t.attr("__module__") = "pyqrx";
    t.attr("__doc__") = doc;
    m.attr(name) = t;
    return t;
}

}  // namespace bookvalues
}  // namespace pyqrx
