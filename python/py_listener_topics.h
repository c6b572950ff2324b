// Structured topics for Python: pyqrx.Topic (the parsed parts of a topic as
// an immutable named tuple), pyqrx.TopicType, parseTopic() and the topic
// builders (depthTopic() ...).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

class CSymTopic;

namespace pyqrx {

// The pyqrx.Topic of a parsed topic whose whole text is text[0..len), new
// reference; null with a Python error set. Topics repeat, so the objects
// (immutable) are kept by text and handed out again.
PyObject* TopicObject(const CSymTopic& topic, const char* text, size_t len);

void RegisterTopics(pybind11::module_& m);

}  // namespace pyqrx
