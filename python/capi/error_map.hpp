// The one way a failure of the reader library becomes a Python exception.
// Every module maps with the same rule and its own exception classes.
#pragma once

#include <Python.h>

#include <string>

#include "support/error.hpp"

namespace karvel::python {

// The text a failure shows: a spectrum's failure (a Scan error) as the
// record model reports it, "vendor parser error: scanId=…"; any other
// error its own display text ("parse error: …", "I/O error: …").
std::string error_text(const karvel::Error& error);

// The exception classes of one module.
struct ErrorClasses {
  // Raised for data that cannot be decoded, and for every error when
  // os_errors is false.
  PyObject* format;
  // When true, an error whose root cause is an Io error carrying an errno
  // (an Io error, or a spectrum's block that could not be read) is raised as
  // OSError(errno, text), which Python turns into its subclass
  // (FileNotFoundError, …).
  bool os_errors;
};

// Raises error as classes say; always returns nullptr.
PyObject* raise_error(const ErrorClasses& classes, const karvel::Error& error);

}  // namespace karvel::python
