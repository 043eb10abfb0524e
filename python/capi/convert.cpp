#include "convert.hpp"

#include <limits>

namespace karvel::python {

Ref to_str(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max())) {
    PyErr_NoMemory();
    return Ref();
  }
  // The reader hands out UTF-8; a stray invalid byte becomes U+FFFD rather
  // than failing the whole call.
  return Ref(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

Ref to_float(double value) { return Ref(PyFloat_FromDouble(value)); }

Ref to_int(std::uint64_t value) {
  return Ref(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
}

Ref to_int(std::int64_t value) { return Ref(PyLong_FromLongLong(static_cast<long long>(value))); }

Ref float_or_none(const std::optional<double>& value) {
  return value ? to_float(*value) : Ref::borrow(Py_None);
}

Ref str_or_none(const std::optional<std::string>& value) {
  return value ? to_str(*value) : Ref::borrow(Py_None);
}

Ref int_or_none(const std::optional<std::uint32_t>& value) {
  return value ? to_int(static_cast<std::uint64_t>(*value)) : Ref::borrow(Py_None);
}

Ref int_or_none(const std::optional<std::int32_t>& value) {
  return value ? to_int(static_cast<std::int64_t>(*value)) : Ref::borrow(Py_None);
}

bool put(PyObject* dict, const char* key, Ref value) {
  if (!value) return false;
  return PyDict_SetItemString(dict, key, value.get()) == 0;
}

bool append(PyObject* list, Ref item) {
  if (!item) return false;
  return PyList_Append(list, item.get()) == 0;
}

Ref term_dict(const morvane_core::types::CvTerm& term) {
  Ref dict(PyDict_New());
  if (!dict || !put(dict.get(), "accession", to_str(term.accession)) ||
      !put(dict.get(), "name", to_str(term.name))) {
    return Ref();
  }
  return dict;
}

Ref extra_dict(const morvane_core::types::ExtraMap& extra) {
  Ref dict(PyDict_New());
  if (!dict) return Ref();
  for (const auto& [key, value] : extra) {
    Ref py_key = to_str(key);
    Ref py_value = to_str(value);
    if (!py_key || !py_value || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) {
      return Ref();
    }
  }
  return dict;
}

Ref run_metadata_dict(const morvane_core::types::RunMetadata& run) {
  Ref analyzers(PyList_New(0));
  if (!analyzers) return Ref();
  for (auto analyzer : run.analyzers) {
    if (!append(analyzers.get(), to_str(morvane_core::enums::text(analyzer)))) return Ref();
  }
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!dict || !put(d, "source_file_name", to_str(run.source_file_name)) ||
      !put(d, "source_file_format", term_dict(run.source_file_format)) ||
      !put(d, "native_id_format", term_dict(run.native_id_format)) ||
      !put(d, "instrument", term_dict(run.instrument)) ||
      !put(d, "instrument_serial_number", str_or_none(run.instrument_serial_number)) ||
      !put(d, "software_name", to_str(run.software_name)) ||
      !put(d, "software_version", to_str(run.software_version)) ||
      !put(d, "acquisition_software_name", str_or_none(run.acquisition_software_name)) ||
      !put(d, "acquisition_software_version", str_or_none(run.acquisition_software_version)) ||
      !put(d, "start_timestamp", str_or_none(run.start_timestamp)) ||
      !put(d, "mobility_array_kind", text_or_none(run.mobility_array_kind)) ||
      !put(d, "analyzers", std::move(analyzers)) || !put(d, "extra", extra_dict(run.extra))) {
    return Ref();
  }
  return dict;
}

Ref device_dict(const std::optional<raw::metadata::DeviceInfo>& device) {
  if (!device) return Ref::borrow(Py_None);
  Ref dict(PyDict_New());
  if (!dict || !put(dict.get(), "name", to_str(device->name)) ||
      !put(dict.get(), "model", to_str(device->model))) {
    return Ref();
  }
  return dict;
}

PyObject* raise_text(PyObject* type, std::string_view text) {
  Ref message = to_str(text);
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

}  // namespace karvel::python
