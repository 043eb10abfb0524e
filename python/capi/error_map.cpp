#include "error_map.hpp"

#include "convert.hpp"
#include "ref.hpp"
#include "reader/source_error.hpp"

namespace karvel::python {

std::string error_text(const karvel::Error& error) {
  if (error.kind() == karvel::Error::Kind::Scan) return reader::to_core_error(error).display();
  return error.display();
}

namespace {

// The error at the end of a chain of Scan errors.
const karvel::Error& root_of(const karvel::Error& error) {
  const karvel::Error* root = &error;
  // A Scan error's source is always the Error it wraps.
  while (root->kind() == karvel::Error::Kind::Scan) root = static_cast<const karvel::Error*>(root->source());
  return *root;
}

}  // namespace

PyObject* raise_error(const ErrorClasses& classes, const karvel::Error& error) {
  const std::string text = error_text(error);
  const karvel::Error& root = root_of(error);
  if (!classes.os_errors || root.kind() != karvel::Error::Kind::Io || root.os_code() == 0) {
    return raise_text(classes.format, text);
  }
  Ref code = to_int(std::int64_t{root.os_code()});
  Ref message = to_str(text);
  if (!code || !message) return nullptr;
  Ref exception(PyObject_CallFunctionObjArgs(PyExc_OSError, code.get(), message.get(), nullptr));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace karvel::python
