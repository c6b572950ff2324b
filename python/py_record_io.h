// The native recorder and reader of qrx recordings (pyqrx._pyqrx._Recorder
// and _RecordReader).
#pragma once

#include <pybind11/pybind11.h>

void RegisterRecordIo(pybind11::module_& m);
