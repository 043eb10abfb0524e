#include "errors.hpp"

#include "convert.hpp"
#include "error_map.hpp"

namespace karvel::python {

PyObject* reader_err(const karvel::Error& error) {
  return raise_error(ErrorClasses{PyExc_RuntimeError, false}, error);
}

PyObject* core_err(const morvane_core::error::Error& error) { return runtime_error(error.display()); }

PyObject* runtime_error(std::string_view text) { return raise_text(PyExc_RuntimeError, text); }

}  // namespace karvel::python
