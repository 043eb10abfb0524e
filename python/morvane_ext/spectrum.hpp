// morvane.Spectrum: one decoded spectrum. Its m/z and intensity arrays are
// read-only numpy views of the record's own vectors, made on first access
// and handed out as the same objects afterwards.
#pragma once

#include <Python.h>

#include <memory>

#include "morvane_core/types.hpp"
#include "pool.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace karvel::python::morvane {

PyType_Spec* spectrum_spec();

// A new Spectrum owning record.
Ref new_spectrum(ModuleState* state, morvane_core::types::SpectrumRecord record);
// The same; once neither the Spectrum nor any of its arrays is left, the
// arrays' memory goes to buffers (when they still exist).
Ref new_spectrum(ModuleState* state, morvane_core::types::SpectrumRecord record,
                 std::weak_ptr<PeakBuffers> buffers);

}  // namespace karvel::python::morvane
