// Chromatograms computed in C++ from many spectra decoded on the ordered
// pool; called without the interpreter lock. A failing spectrum ends the
// computation with its error.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::python::morvane {

struct Trace {
  std::vector<double> rt;
  std::vector<double> intensity;
};

// For each spectrum of indices (in that order): its retention time in
// seconds and the sum of its intensities whose m/z lies in [low, high].
Result<Trace> extracted_ion_trace(std::shared_ptr<const reader::Reader> reader,
                                  std::vector<std::uint32_t> indices, double low, double high,
                                  unsigned threads);

// The total-ion-current and base-peak chromatograms of the MS1 spectra:
// retention times in seconds and the values the reader's own chromatograms
// hold, both as 64-bit floats (the reader's 32-bit values are these rounded).
// Spectra whose scan row reports TIC and base peak are not decoded.
struct MS1Chromatograms {
  std::vector<double> rt;
  std::vector<double> tic;
  std::vector<double> base_peak;
};
Result<MS1Chromatograms> ms1_chromatograms(std::shared_ptr<const reader::Reader> reader, unsigned threads);

}  // namespace karvel::python::morvane
