// karvel raises every failure as RuntimeError with the failure's text
// (see error_text).
#pragma once

#include <Python.h>

#include <string_view>

#include "morvane_core/error.hpp"
#include "support/error.hpp"

namespace karvel::python {

// Each raises RuntimeError and returns nullptr, so callers can
// `return reader_err(...)`.
PyObject* reader_err(const karvel::Error& error);
// A failure reported through the record model's sequences.
PyObject* core_err(const morvane_core::error::Error& error);
PyObject* runtime_error(std::string_view text);

}  // namespace karvel::python
