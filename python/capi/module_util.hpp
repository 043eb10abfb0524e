// Registering a module's public names from its exec step.
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

}  // namespace karvel::python
