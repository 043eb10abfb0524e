// Adding more types or functions to morvane._native from another source file
// of this folder, without touching the module's own files:
//
//   namespace { int add_writer(PyObject* module) { ... return 0; } }
//   static const karvel::python::morvane::Extension writer_extension(add_writer);
//
// Every registered function runs, in no fixed order, at the end of the
// module's exec step, after the module's own types exist (state_of_module
// gives them); it returns 0, or -1 with an exception set. add_type and
// add_public (module_util.hpp) register a name and add it to __all__.
#pragma once

#include <Python.h>

namespace karvel::python::morvane {

using ExtensionInit = int (*)(PyObject* module);

// Registers itself at construction; every registration is kept (they form
// a list through the objects themselves, so there is no fixed limit and
// nothing is allocated). An Extension must live as long as the image, as a
// namespace-scope static does.
class Extension {
 public:
  explicit Extension(ExtensionInit init) noexcept;
  Extension(const Extension&) = delete;
  Extension& operator=(const Extension&) = delete;

 private:
  friend int run_extensions(PyObject* module);
  ExtensionInit init_;
  const Extension* next_;
};

// Runs every registered function on module; stops at the first failure.
int run_extensions(PyObject* module);

}  // namespace karvel::python::morvane
