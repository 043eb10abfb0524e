// Per-module state: the heap types the module created. Methods reach it
// through their object's type (state_of_type, heap_object.hpp).
#pragma once

#include <Python.h>

namespace karvel::python {

struct ModuleState {
  PyTypeObject* raw_reader = nullptr;
  PyTypeObject* spectrum = nullptr;
  PyTypeObject* spectrum_iter = nullptr;

  // Calls slot(PyObject**) on every reference the state holds.
  template <class Slot>
  void for_each_reference(Slot&& slot) {
    slot(reinterpret_cast<PyObject**>(&raw_reader));
    slot(reinterpret_cast<PyObject**>(&spectrum));
    slot(reinterpret_cast<PyObject**>(&spectrum_iter));
  }
};

}  // namespace karvel::python
