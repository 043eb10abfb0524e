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

// The m_traverse and m_clear steps over a module state that lists its
// references through for_each_reference(slot), slot taking a PyObject**.
// A null state (the module not executed yet) holds none.
template <class State>
int traverse_state(State* state, visitproc visit, void* arg) {
  if (state == nullptr) return 0;
  int result = 0;
  state->for_each_reference([&](PyObject** slot) {
    if (result == 0 && *slot != nullptr) result = visit(*slot, arg);
  });
  return result;
}

template <class State>
int clear_state(State* state) {
  if (state == nullptr) return 0;
  state->for_each_reference([](PyObject** slot) { Py_CLEAR(*slot); });
  return 0;
}

}  // namespace karvel::python
