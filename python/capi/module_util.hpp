// Registering a module's public names from its exec step, and the garbage
// collection of its state.
#pragma once

#include <Python.h>

namespace karvel::python {

// Appends name to the module's __all__ (created empty when missing), then
// sets the attribute. 0 on success, -1 with an exception set.
int add_public(PyObject* module, const char* name, PyObject* value);

// Creates the heap type of spec for module, stores the new reference in
// *slot (owned by the module state) and adds it under the part of the
// spec's name after the last dot.
int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** slot);

// The m_traverse, m_clear and m_free functions of a module whose state is a
// State that lists its references through for_each_reference(slot), slot
// taking a PyObject**. A module not executed yet has no state and holds none.
template <class State>
struct StateReferences {
  static int traverse(PyObject* module, visitproc visit, void* arg) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    int result = 0;
    state->for_each_reference([&](PyObject** slot) {
      if (result == 0 && *slot != nullptr) result = visit(*slot, arg);
    });
    return result;
  }

  static int clear(PyObject* module) {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state == nullptr) return 0;
    state->for_each_reference([](PyObject** slot) { Py_CLEAR(*slot); });
    return 0;
  }

  static void free(void* module) { clear(static_cast<PyObject*>(module)); }
};

}  // namespace karvel::python
