#include "path_argument.hpp"

#include "path.hpp"

namespace karvel::python {

std::optional<std::string> path_argument(const char* function, PyObject* argument) {
  if (!PyUnicode_Check(argument)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'path' must be str, not %.200s", function,
                 Py_TYPE(argument)->tp_name);
    return std::nullopt;
  }
  return fs_path(argument);
}

}  // namespace karvel::python
