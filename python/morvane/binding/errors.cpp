#include "errors.hpp"

#include "convert.hpp"
#include "ref.hpp"

namespace karvel::python::morvane {

PyObject* format_error(ModuleState* state, std::string_view text) {
  return raise_text(state->format_error, text);
}

PyObject* reader_error(ModuleState* state, const karvel::Error& error) {
  if (error.kind() != karvel::Error::Kind::Io || error.os_code() == 0) {
    return format_error(state, error.display());
  }
  Ref code = to_int(std::int64_t{error.os_code()});
  Ref text = to_str(error.display());
  if (!code || !text) return nullptr;
  Ref exception(PyObject_CallFunctionObjArgs(PyExc_OSError, code.get(), text.get(), nullptr));
  if (exception) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
  return nullptr;
}

}  // namespace karvel::python::morvane
