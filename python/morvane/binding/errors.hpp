// The Python exceptions morvane raises for the reader's failures: data that
// cannot be decoded is a FormatError (a ValueError), an operating-system
// failure the matching OSError subclass; the texts are the reader's own.
#pragma once

#include <Python.h>

#include <string_view>

#include "state.hpp"
#include "support/error.hpp"

namespace karvel::python::morvane {

// FormatError with text; returns nullptr.
PyObject* format_error(ModuleState* state, std::string_view text);
// An Io error becomes OSError(errno, text) (so FileNotFoundError and the
// like), every other error FormatError with its display text.
PyObject* reader_error(ModuleState* state, const karvel::Error& error);

}  // namespace karvel::python::morvane
