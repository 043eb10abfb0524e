// The iterators and streams a run hands out: _native.SpectrumStream (spectra
// decoded ahead on worker threads, in index order) and _native.PeakStream
// (an object whose __arrow_c_stream__ gives a fresh peak-table stream on
// every call).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "peaks.hpp"
#include "reader/reader.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace karvel::python::morvane {

PyType_Spec* spectrum_stream_spec();
PyType_Spec* peak_stream_spec();

// Starts the workers at once. With skip_errors, undecodable spectra are left
// out and (index, message) appended to the stream's own `skipped` list;
// otherwise the iteration raises the spectrum's error and ends. len() of the
// stream is the number of indices, however many have been yielded.
Ref new_spectrum_stream(ModuleState* state, std::shared_ptr<const reader::Reader> reader,
                        std::vector<std::uint32_t> indices, reader::BlockChoice choice, bool skip_errors,
                        unsigned threads, const reader::CentroidOptions& centroid = {});

Ref new_peak_stream(ModuleState* state, std::shared_ptr<const reader::Reader> reader,
                    std::vector<std::uint32_t> indices, PeakOptions options);

}  // namespace karvel::python::morvane
