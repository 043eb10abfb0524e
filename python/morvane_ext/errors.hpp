// The Python exceptions morvane raises for the reader's failures: data that
// cannot be decoded is a FormatError (a ValueError), an operating-system
// failure the matching OSError subclass with its file, an exhausted memory
// MemoryError, a refused argument ValueError (see ErrorClasses).
#pragma once

#include <Python.h>

#include "error_map.hpp"
#include "state.hpp"
#include "support/error.hpp"

namespace karvel::python::morvane {

// Raises error with morvane's classes; returns nullptr.
inline PyObject* reader_error(ModuleState* state, const karvel::Error& error) {
  return raise_error(ErrorClasses{state->format_error, true}, error);
}

}  // namespace karvel::python::morvane
