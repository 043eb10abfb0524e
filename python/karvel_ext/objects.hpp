// The module's classes as seen by each other: their type specs and the few
// constructors one class needs from another.
#pragma once

#include <Python.h>

#include <memory>

#include "morvane_core/types.hpp"
#include "ref.hpp"

namespace karvel::python {

PyType_Spec* raw_reader_spec();
PyType_Spec* spectrum_spec();
PyType_Spec* spectrum_iter_spec();

// The module-level function iter_spectra(path).
PyMethodDef* iter_spectra_def();

// A new Spectrum of the module's Spectrum type owning record.
Ref new_spectrum(PyTypeObject* type, std::unique_ptr<const morvane_core::types::SpectrumRecord> record);

}  // namespace karvel::python
