// _native.ScanColumns: the scan table as columns, one row per spectrum, built
// from the scan table alone (no block is decoded).
#pragma once

#include <Python.h>

#include "reader/reader.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace karvel::python::morvane {

PyType_Spec* scan_columns_spec();

Ref new_scan_columns(ModuleState* state, const reader::Reader& reader);

}  // namespace karvel::python::morvane
