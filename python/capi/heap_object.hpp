// What every heap type of the modules shares: finding the module state from
// a module or from one of its types, releasing an object whose C++ members
// need their destructors run, and getters built from a field function.
#pragma once

#include <Python.h>

#include "boundary.hpp"
#include "ref.hpp"

namespace karvel::python {

// The state (of struct State) of module.
template <class State>
State* state_of_module(PyObject* module) {
  return static_cast<State*>(PyModule_GetState(module));
}

// The state of the module that created type (any of the module's heap
// types; none of them can be subclassed from Python, so Py_TYPE(self) is
// always the module's own type).
template <class State>
State* state_of_type(PyTypeObject* type) {
  return static_cast<State*>(PyType_GetModuleState(type));
}

// The tp_dealloc of a heap type whose objects are Objects: Destroy(object)
// runs the destructors of its C++ members, then the memory is freed and the
// reference the object held to its type released.
template <class Object, void (*Destroy)(Object&) noexcept>
void heap_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  Destroy(*reinterpret_cast<Object*>(self));
  type->tp_free(self);
  Py_DECREF(type);
}

// A tp_getset getter: Build(Of(self)), a Ref, handed to Python; a C++
// exception becomes a Python one.
template <auto Of, auto Build>
PyObject* getter(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return Build(Of(self)).release(); });
}

}  // namespace karvel::python
