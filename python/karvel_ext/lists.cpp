#include "lists.hpp"

#include <limits>

namespace karvel::python {

namespace {

template <class T>
Ref make_float_list(std::span<const T> values) {
  if (values.size() > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max())) {
    PyErr_NoMemory();
    return Ref();
  }
  const auto size = static_cast<Py_ssize_t>(values.size());
  Ref list(PyList_New(size));
  if (!list) return Ref();
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[static_cast<std::size_t>(i)]));
    // The unfilled slots are NULL, which releasing the list tolerates.
    if (item == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), i, item);
  }
  return list;
}

}  // namespace

Ref float_list(std::span<const double> values) { return make_float_list(values); }
Ref float_list(std::span<const float> values) { return make_float_list(values); }

}  // namespace karvel::python
