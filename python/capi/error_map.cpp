#include "error_map.hpp"

#include <cstring>

#include "convert.hpp"
#include "ref.hpp"
#include "reader/source_error.hpp"
#include "support/format.hpp"

namespace karvel::python {

std::string error_text(const karvel::Error& error) {
  if (error.kind() == karvel::Error::Kind::Scan) return reader::to_core_error(error).display();
  // A fault of the library shows its own words alone.
  if (error.kind() == karvel::Error::Kind::Internal) return error.text();
  return error.display();
}

std::string reason_text(const karvel::Error& error) {
  if (error.kind() == karvel::Error::Kind::Scan) {
    const auto& inner = *static_cast<const karvel::Error*>(error.source());
    return str_cat(block_kind_name(error.block()), " block: ", message_text(inner));
  }
  return message_text(error);
}

std::string message_text(const karvel::Error& error) {
  switch (error.kind()) {
    case karvel::Error::Kind::Scan:
      return str_cat("scanId=", error.scan_id(), ": ", reason_text(error));
    case karvel::Error::Kind::Io:
      if (error.os_code() != 0) {
        char buffer[256];
        // GNU strerror_r returns the message, which may or may not live in buffer.
        return strerror_r(error.os_code(), buffer, sizeof buffer);
      }
      return error.text();
    case karvel::Error::Kind::Argument:
      return error.text();  // the exception's type says it is an argument
    default:
      return error.display();
  }
}

namespace {

PyObject* raise_os_error(const karvel::Error& root, const std::string& text) {
  Ref code = to_int(std::int64_t{root.os_code()});
  Ref message = to_str(text);
  if (!code || !message) return nullptr;
  Ref filename = root.path().empty() ? Ref::borrow(Py_None) : Ref(PyUnicode_DecodeFSDefaultAndSize(
                                                                   root.path().data(),
                                                                   static_cast<Py_ssize_t>(root.path().size())));
  if (!filename) return nullptr;
  Ref exception(PyObject_CallFunctionObjArgs(PyExc_OSError, code.get(), message.get(), filename.get(), nullptr));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace

PyObject* raise_error(const ErrorClasses& classes, const karvel::Error& error) {
  if (!classes.typed) return raise_text(classes.format, error_text(error));
  const std::string text = message_text(error);
  const karvel::Error& root = error.root();
  switch (root.kind()) {
    case karvel::Error::Kind::Io:
      if (root.os_code() != 0) return raise_os_error(root, text);
      return raise_text(classes.format, text);
    case karvel::Error::Kind::Argument:
      return raise_text(PyExc_ValueError, text);
    case karvel::Error::Kind::Memory:
      return raise_text(PyExc_MemoryError, text);
    case karvel::Error::Kind::Internal:
      return raise_text(PyExc_RuntimeError, text);
    default:
      return raise_text(classes.format, text);
  }
}

}  // namespace karvel::python
