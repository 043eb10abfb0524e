#include "indices.hpp"

#include <cstring>
#include <string_view>

namespace karvel::python::morvane {

std::optional<std::vector<std::uint32_t>> index_argument(PyObject* argument, std::size_t count) {
  Py_buffer view;
  if (PyObject_GetBuffer(argument, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return std::nullopt;
  std::optional<std::vector<std::uint32_t>> result;
  const std::string_view format = view.format != nullptr ? view.format : "B";
  if (view.itemsize != 4 || (format != "I" && format != "=I" && format != "<I" && format != "@I")) {
    PyErr_SetString(PyExc_ValueError, "scan positions must be a buffer of uint32");
  } else {
    std::vector<std::uint32_t> values(static_cast<std::size_t>(view.len) / 4);
    if (!values.empty()) std::memcpy(values.data(), view.buf, values.size() * 4);
    bool in_range = true;
    for (std::uint32_t value : values) {
      if (value >= count) {
        PyErr_Format(PyExc_IndexError, "spectrum index %u out of range", value);
        in_range = false;
        break;
      }
    }
    if (in_range) result = std::move(values);
  }
  PyBuffer_Release(&view);
  return result;
}

std::optional<std::vector<double>> double_argument(PyObject* argument, const char* what) {
  Py_buffer view;
  if (PyObject_GetBuffer(argument, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return std::nullopt;
  std::optional<std::vector<double>> result;
  const std::string_view format = view.format != nullptr ? view.format : "B";
  if (view.itemsize != 8 || (format != "d" && format != "=d" && format != "<d" && format != "@d")) {
    PyErr_Format(PyExc_ValueError, "%s must be a buffer of float64", what);
  } else {
    std::vector<double> values(static_cast<std::size_t>(view.len) / 8);
    if (!values.empty()) std::memcpy(values.data(), view.buf, values.size() * 8);
    result = std::move(values);
  }
  PyBuffer_Release(&view);
  return result;
}

}  // namespace karvel::python::morvane
