// Per-module state of morvane._native: the heap types it created, its
// exception class and the numpy pieces the arrays are made with.
#pragma once

#include <Python.h>

namespace karvel::python::morvane {

// Element types of the arrays the module hands out.
enum class Dtype { Float64, Float32, UInt32, UInt8, Int8, Int64, Count };

struct ModuleState {
  PyTypeObject* run = nullptr;
  PyTypeObject* spectrum = nullptr;
  PyTypeObject* buffer = nullptr;
  PyTypeObject* spectrum_stream = nullptr;
  PyTypeObject* peak_stream = nullptr;
  PyTypeObject* scan_columns = nullptr;
  PyObject* format_error = nullptr;
  PyObject* frombuffer = nullptr;  // numpy.frombuffer
  PyObject* spectrum_plot = nullptr;  // what Spectrum.plot calls, set by the package
  PyObject* dtypes[static_cast<int>(Dtype::Count)] = {};

  // Calls slot(PyObject**) on every reference the state holds.
  template <class Slot>
  void for_each_reference(Slot&& slot) {
    slot(reinterpret_cast<PyObject**>(&run));
    slot(reinterpret_cast<PyObject**>(&spectrum));
    slot(reinterpret_cast<PyObject**>(&buffer));
    slot(reinterpret_cast<PyObject**>(&spectrum_stream));
    slot(reinterpret_cast<PyObject**>(&peak_stream));
    slot(reinterpret_cast<PyObject**>(&scan_columns));
    slot(&format_error);
    slot(&frombuffer);
    slot(&spectrum_plot);
    for (auto& dtype : dtypes) slot(&dtype);
  }
};

// The module definition; its address identifies the module.
PyModuleDef* module_def();


}  // namespace karvel::python::morvane
