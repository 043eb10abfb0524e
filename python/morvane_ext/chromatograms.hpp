// Chromatograms computed in C++ from many spectra decoded on the ordered
// pool; called without the interpreter lock. A failing spectrum ends the
// computation with its error.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "reader/mz_windows.hpp"
#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::python::morvane {

// Retention times in seconds, one per spectrum, and the sums of the m/z
// windows in one column per spectrum: values[s * windows + k] is window k's
// sum in spectrum s (the windows x spectra matrix in column-major order,
// each spectrum's sums written together by the thread that decoded it).
struct Traces {
  std::vector<double> rt;
  std::shared_ptr<double[]> values;
  std::size_t count = 0;  // rt.size() * windows
};

// For each spectrum of indices (in that order, read from the block choice
// names): its retention time and the sums of its intensities over each
// window, all windows served by one decoding of each spectrum. With
// failures, a spectrum that does not decode is left out (its time and sums
// too) and listed there as its position and error; without, its error is
// the pass's.
Result<Traces> extracted_ion_traces(std::shared_ptr<const reader::Reader> reader,
                                    std::vector<std::uint32_t> indices, const reader::MzWindows& windows,
                                    reader::BlockChoice choice, reader::CentroidOptions centroid,
                                    unsigned threads,
                                    std::vector<std::pair<std::uint32_t, Error>>* failures = nullptr);

// The total-ion-current and base-peak chromatograms of the MS1 spectra:
// retention times in seconds and the values the reader's own chromatograms
// hold, both as 64-bit floats (the reader's 32-bit values are these rounded).
// Spectra whose scan row reports TIC and base peak are not decoded; the
// scans at `skipped` are left out (reader::Ms1Pass). With failures, a
// spectrum that does not decode is left out too and listed there as its
// position and error; without, its error is the pass's.
struct MS1Chromatograms {
  std::vector<double> rt;
  std::vector<double> tic;
  std::vector<double> base_peak;
};
Result<MS1Chromatograms> ms1_chromatograms(std::shared_ptr<const reader::Reader> reader, unsigned threads,
                                           std::span<const std::uint32_t> skipped = {},
                                           std::vector<std::pair<std::uint32_t, Error>>* failures = nullptr);

}  // namespace karvel::python::morvane
