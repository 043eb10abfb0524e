// The total-ion-current and base-peak chromatograms of a run's MS1 spectra:
// what one MS1 spectrum contributes, and the accumulator every consumer
// (karvel's chromatograms, morvane's tic/bpc, the mzML writer) fills.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "morvane_core/types.hpp"
#include "reader/scan_row.hpp"

namespace karvel::reader {

// One MS1 spectrum's point: its retention time in seconds, its total ion
// current (the reported one, else the sum of its intensities) and its base
// peak intensity (the reported one, else the largest intensity; 0 when the
// spectrum has no points).
struct Ms1Point {
  double time_sec = 0.0;
  double total_ion_current = 0.0;
  double base_peak_intensity = 0.0;
};

// The point of a decoded spectrum; nothing when it is not MS1.
std::optional<Ms1Point> ms1_point(const morvane_core::types::SpectrumRecord& spectrum);

// The same point from the scan table alone, when the row reports the TIC
// and the base peak (m/z and intensity), so that decoding the spectrum would
// give exactly this; nothing otherwise or when the scan is not MS1.
std::optional<Ms1Point> reported_ms1_point(const ScanRow& row);

// The chromatograms' points in the order they were added.
struct Ms1Chromatograms {
  std::vector<double> time_sec;
  std::vector<double> total_ion_current;
  std::vector<double> base_peak_intensity;

  // Appends point and returns its position.
  std::size_t add(const Ms1Point& point);
  // Replaces the point at position (below size()).
  void set(std::size_t position, const Ms1Point& point);
  std::size_t size() const noexcept { return time_sec.size(); }
  bool empty() const noexcept { return time_sec.empty(); }
};

// The values as 32-bit floats, as the chromatograms hand them out.
std::vector<float> narrowed(const std::vector<double>& values);

}  // namespace karvel::reader
