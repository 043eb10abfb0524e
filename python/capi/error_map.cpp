#include "error_map.hpp"

#include "convert.hpp"
#include "ref.hpp"
#include "reader/source_error.hpp"

namespace karvel::python {

std::string error_text(const karvel::Error& error) {
  if (error.kind() == karvel::Error::Kind::Scan) return reader::to_core_error(error).display();
  return error.display();
}

PyObject* raise_error(const ErrorClasses& classes, const karvel::Error& error) {
  const std::string text = error_text(error);
  if (!classes.os_errors || error.kind() != karvel::Error::Kind::Io || error.os_code() == 0) {
    return raise_text(classes.format, text);
  }
  Ref code = to_int(std::int64_t{error.os_code()});
  Ref message = to_str(text);
  if (!code || !message) return nullptr;
  Ref exception(PyObject_CallFunctionObjArgs(PyExc_OSError, code.get(), message.get(), nullptr));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace karvel::python
