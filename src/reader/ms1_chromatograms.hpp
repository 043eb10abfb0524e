// The total-ion-current and base-peak chromatograms of a run's MS1 spectra:
// what one MS1 spectrum contributes, and the accumulator every consumer
// (karvel's chromatograms, morvane's tic/bpc, the mzML writer) fills.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
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

// A pass that builds the MS1 chromatograms of a whole run, a point per MS1
// scan, leaving out the scans at `skipped` (positions that cannot be
// decoded). A point comes from the scan table where the row reports it
// (reported_ms1_point), else from the decoded spectrum: the caller decodes
// the scans at to_decode(), in any way it likes, and hands each spectrum to
// fill in that order, or drop the ones that do not decode when the caller
// leaves them out.
class Ms1Pass {
 public:
  explicit Ms1Pass(const raw::msscan::MSScan& scan, std::span<const std::uint32_t> skipped = {});

  // Positions in the scan table, ascending.
  const std::vector<std::uint32_t>& to_decode() const noexcept { return to_decode_; }
  // The spectrum decoded for to_decode()[k].
  void fill(std::size_t k, const morvane_core::types::SpectrumRecord& spectrum);
  // Leaves out the scan at to_decode()[k].
  void drop(std::size_t k);
  // The points of the scans kept, in table order.
  Ms1Chromatograms take() &&;

 private:
  Ms1Chromatograms points_;
  std::vector<std::uint32_t> to_decode_;
  std::vector<std::size_t> slots_;  // where the point of to_decode_[k] goes
  std::vector<std::size_t> dropped_;  // slots left out, as drop() named them
};

// The values as 32-bit floats, as the chromatograms hand them out.
std::vector<float> narrowed(const std::vector<double>& values);

}  // namespace karvel::reader
