// Path arguments: a Python str, turned into the byte string the file system
// sees (UTF-8, with lone surrogates mapped back to the bytes they stand for).
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "ref.hpp"

namespace karvel::python {

// The file-system bytes of a str path. ValueError "embedded null byte" for
// a path the operating system could not be given as it is.
std::optional<std::string> fs_path(PyObject* text);

// The file-system bytes of a str, bytes or os.PathLike argument named
// `name` of function: TypeError naming it for any other object.
std::optional<std::string> path_like_argument(const char* function, const char* name,
                                              PyObject* argument);

// The str that fs_path turned into these bytes.
Ref path_str(const std::string& bytes);

}  // namespace karvel::python
