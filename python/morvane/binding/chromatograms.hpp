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

// The total-ion-current and base-peak chromatograms of the MS1 spectra, as
// 32-bit values exactly like the reader's own chromatograms. Spectra whose
// scan row reports TIC and base peak are not decoded.
struct MS1Chromatograms {
  std::vector<float> rt;
  std::vector<float> tic;
  std::vector<float> base_peak;
};
Result<MS1Chromatograms> ms1_chromatograms(std::shared_ptr<const reader::Reader> reader, unsigned threads);

}  // namespace karvel::python::morvane
