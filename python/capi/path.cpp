#include "path.hpp"

#include <cstring>

namespace karvel::python {

std::optional<std::string> fs_path(PyObject* text) {
  Ref encoded(PyUnicode_EncodeFSDefault(text));
  if (!encoded) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) return std::nullopt;
  if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> path_like_argument(const char* function, const char* name,
                                              PyObject* argument) {
  if (!PyUnicode_Check(argument) && !PyBytes_Check(argument) &&
      PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(argument)), "__fspath__") == 0) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, bytes or os.PathLike, not %.200s",
                 function, name, Py_TYPE(argument)->tp_name);
    return std::nullopt;
  }
  Ref path(PyOS_FSPath(argument));
  if (!path) return std::nullopt;
  if (PyUnicode_Check(path.get())) return fs_path(path.get());
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(path.get(), &data, &size) < 0) return std::nullopt;
  if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

Ref path_str(const std::string& bytes) {
  return Ref(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

}  // namespace karvel::python
