#include "errors.hpp"

namespace karvel::python::morvane {

bool check_threads(unsigned threads) {
  if (threads >= 1) return true;
  PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
  return false;
}

}  // namespace karvel::python::morvane
