// Conversions from the reader's and the record model's values to Python
// objects. Each returns an owned reference, or an empty Ref with a Python
// exception set.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "morvane_core/types.hpp"
#include "raw/metadata.hpp"
#include "ref.hpp"

namespace karvel::python {

Ref to_str(std::string_view text);
Ref to_float(double value);
Ref to_int(std::uint64_t value);
Ref to_int(std::int64_t value);

Ref float_or_none(const std::optional<double>& value);
Ref str_or_none(const std::optional<std::string>& value);
Ref int_or_none(const std::optional<std::uint32_t>& value);
Ref int_or_none(const std::optional<std::int32_t>& value);

// The text form of an optional enumeration value, or None.
template <class Enum>
Ref text_or_none(const std::optional<Enum>& value) {
  if (!value) return Ref::borrow(Py_None);
  return to_str(morvane_core::enums::text(*value));
}

// {"accession": ..., "name": ...}
Ref term_dict(const morvane_core::types::CvTerm& term);
// Keys in the map's (byte) order.
Ref extra_dict(const morvane_core::types::ExtraMap& extra);
// The run metadata as a dict, keys in the record's field order.
Ref run_metadata_dict(const morvane_core::types::RunMetadata& run);
// {"name": ..., "model": ...} of the instrument, or None.
Ref device_dict(const std::optional<raw::metadata::DeviceInfo>& device);

// Inserts value under key; consumes value. False (exception set) when value
// is empty or the insertion fails.
bool put(PyObject* dict, const char* key, Ref value);
// Appends item to list; false (exception set) when item is empty or the
// append fails.
bool append(PyObject* list, Ref item);

// An exception of type with a given text; returns nullptr.
PyObject* raise_text(PyObject* type, std::string_view text);

}  // namespace karvel::python
