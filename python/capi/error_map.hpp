// The one way a failure of the reader library becomes a Python exception.
// Every module maps with this rule and its own exception classes.
#pragma once

#include <Python.h>

#include <string>

#include "support/error.hpp"

namespace karvel::python {

// The text karvel shows: a spectrum's failure (a Scan error) as the record
// model reports it, "vendor parser error: scanId=…"; an Internal error its
// message alone; any other error its own display text ("parse error: …",
// "I/O error: …").
std::string error_text(const karvel::Error& error);

// The text morvane shows: the error's own display text, except that an
// I/O failure shows its reason alone ("No such file or directory"; the
// exception carries the errno and the file), e.g. "scanId=7: centroid
// block: No such file or directory".
std::string message_text(const karvel::Error& error);

// Why a spectrum was left out, as morvane records it beside the spectrum:
// message_text without the leading "scanId=N: " of a Scan error.
std::string reason_text(const karvel::Error& error);

// The exception classes of one module.
struct ErrorClasses {
  // Raised for data that cannot be decoded, and for every error when
  // typed is false.
  PyObject* format;
  // When false every error is `format` with error_text. When true the
  // kind at the root of the error chooses, with message_text:
  //   Io with an errno     OSError(errno, text, path), which Python turns
  //                        into its subclass (FileNotFoundError, …);
  //   Io without, Parse    `format`;
  //   Argument             ValueError;
  //   Memory               MemoryError;
  //   Internal             RuntimeError.
  bool typed;
};

// Raises error as classes say; always returns nullptr.
PyObject* raise_error(const ErrorClasses& classes, const karvel::Error& error);

}  // namespace karvel::python
