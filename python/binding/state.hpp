// Per-module state: the heap types the module created. Methods reach it
// through their object's type, which none of the classes lets Python
// subclass, so Py_TYPE(self) is always the module's own type.
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

inline ModuleState* state_of_module(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

inline ModuleState* state_of_type(PyTypeObject* type) {
  return static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace karvel::python
