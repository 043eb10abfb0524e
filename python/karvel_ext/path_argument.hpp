// karvel's path arguments: a str only.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

namespace karvel::python {

// The file-system bytes of the `path` argument of function: TypeError
// naming the argument when it is not a str.
std::optional<std::string> path_argument(const char* function, PyObject* argument);

}  // namespace karvel::python
