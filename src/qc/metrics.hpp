// The ID-free run metrics of one run (or of the scans of one polarity),
// computed from its quality-control rows in acquisition order. Each field
// is one PSI-MS quality metric (MS:4000xxx) in the value shape and unit the
// vocabulary gives it; docs/qc-metrics.md says how each is defined where
// the vocabulary leaves room. A metric the scans cannot give (no scan of
// that level, no interval to measure) is absent.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "qc/scan_facts.hpp"

namespace karvel::qc {

using Range = std::pair<double, double>;  // lower, upper
using Quartets = std::array<double, 4>;
using Triplet = std::array<double, 3>;    // a NaN entry: that ratio is undefined

struct RunSummary {
  std::uint64_t scans = 0;
  std::uint64_t ms1_spectra = 0;                    // MS:4000059
  std::uint64_t ms2_spectra = 0;                    // MS:4000060
  std::optional<double> run_duration;               // MS:4000067, last - first scan time, seconds
  std::optional<Range> rt_range;                    // MS:4000070, seconds
  std::optional<Range> precursor_mz_range;          // MS:4000069, of the MSn scans' precursors
  std::optional<Range> scan_window_range;           // union of the scan windows (else the points), m/z
  std::optional<double> ms1_tic_area;               // MS:4000029, trapezoids over the MS1 TIC
  std::optional<Quartets> tic_rt_fractions;         // MS:4000183
  std::optional<Quartets> ms1_rt_fractions;         // MS:4000184
  std::optional<Quartets> ms2_rt_fractions;         // MS:4000185
  std::optional<Triplet> tic_change_ratios;         // MS:4000186
  std::optional<Triplet> tic_ratios;                // MS:4000187
  std::optional<std::uint64_t> signal_jumps;        // MS:4000097, needs two MS1 TICs
  std::optional<std::uint64_t> signal_falls;        // MS:4000098
  std::optional<double> ms1_median_cycle_time;      // MS:4000192, seconds
  std::optional<double> ms1_fastest_hz;             // MS:4000065, 1 / shortest interval
  std::optional<double> ms2_fastest_hz;             // MS:4000066
  std::optional<double> ms1_slowest_hz;             // MS:4000095, 1 / longest interval
  std::optional<double> ms2_slowest_hz;             // MS:4000096
  std::optional<Quartets> ms1_quarter_hz;           // MS:4000106, scans / length of each RT quarter
  std::optional<Quartets> ms2_quarter_hz;           // MS:4000107
  std::optional<std::uint64_t> empty_ms1;           // MS:4000099, decoded scans whose points sum to 0
  std::optional<std::uint64_t> empty_ms2;           // MS:4000100
  std::uint64_t failed_spectra = 0;
  std::optional<double> drift_median_ppm;           // of the scans' calibration drift
  std::optional<double> drift_max_abs_ppm;          // the largest |drift|
};

// The metrics over rows, in acquisition order. With polarity (+1 or -1)
// only the rows of that polarity count.
RunSummary summarise(std::span<const ScanFacts> rows, std::optional<std::int8_t> polarity = std::nullopt);

// The q-quantile of sorted values by linear interpolation between the two
// closest ranks (position q (n - 1)); NaN for no values.
double quantile_of_sorted(std::span<const double> sorted, double q) noexcept;

// The natural logarithm of numerator / denominator; NaN unless both are
// positive and finite.
double log_ratio(double numerator, double denominator) noexcept;

// The polarities present among rows (+1, -1; 0 for unknown), each once, in
// the order +1, -1, 0.
std::vector<std::int8_t> polarities_of(std::span<const ScanFacts> rows);

}  // namespace karvel::qc
