// The scan table's block parameters as Python dicts.
#pragma once

#include <Python.h>

#include <optional>

#include "raw/msscan.hpp"
#include "ref.hpp"

namespace karvel::python {

// {"format_id", "offset", "byte_count", "point_count", "uncompressed_byte_count"}
Ref spectrum_params_dict(const raw::msscan::SpectrumParams& params);
Ref spectrum_params_or_none(const std::optional<raw::msscan::SpectrumParams>& params);

}  // namespace karvel::python
