#include "qc/scan_facts.hpp"

#include "reader/scan_row.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <utility>

namespace karvel::qc {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The lowest and highest of values (not empty), NaN ignored unless every
// value is NaN. Four independent running pairs keep the processor's
// comparison units busy; a single pair waits on itself at every point.
std::pair<double, double> lowest_highest(std::span<const double> values) noexcept {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  double low0 = kInf, low1 = kInf, low2 = kInf, low3 = kInf;
  double high0 = -kInf, high1 = -kInf, high2 = -kInf, high3 = -kInf;
  const double* v = values.data();
  const std::size_t n = values.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    low0 = v[i] < low0 ? v[i] : low0;
    low1 = v[i + 1] < low1 ? v[i + 1] : low1;
    low2 = v[i + 2] < low2 ? v[i + 2] : low2;
    low3 = v[i + 3] < low3 ? v[i + 3] : low3;
    high0 = v[i] > high0 ? v[i] : high0;
    high1 = v[i + 1] > high1 ? v[i + 1] : high1;
    high2 = v[i + 2] > high2 ? v[i + 2] : high2;
    high3 = v[i + 3] > high3 ? v[i + 3] : high3;
  }
  for (; i < n; ++i) {
    low0 = v[i] < low0 ? v[i] : low0;
    high0 = v[i] > high0 ? v[i] : high0;
  }
  const double lowest = std::min({low0, low1, low2, low3});
  const double highest = std::max({high0, high1, high2, high3});
  if (lowest > highest) return {kNaN, kNaN};  // nothing but NaN
  return {lowest, highest};
}

}  // namespace

ScanFacts facts_of(const morvane_core::types::SpectrumRecord& record) {
  ScanFacts facts;
  facts.index = static_cast<std::uint32_t>(record.index);
  facts.scan_number = record.scan_number;
  facts.native_id = record.native_id;
  facts.ms_level = record.ms_level;
  facts.rt = record.retention_time_sec;
  facts.polarity = reader::polarity_sign(record.polarity);
  facts.decoded = true;
  facts.tic = morvane_core::types::effective_tic(record);
  const auto base_peak = morvane_core::types::effective_base_peak(record);
  facts.base_peak_mz = base_peak ? base_peak->first : kNaN;
  facts.base_peak_intensity = base_peak ? base_peak->second : kNaN;
  facts.num_peaks = static_cast<std::uint32_t>(
      std::min<std::size_t>(record.mz.size(), std::numeric_limits<std::uint32_t>::max()));
  facts.empty = std::ranges::all_of(record.intensity, [](float v) { return v == 0; });
  facts.lowest_mz = kNaN;
  facts.highest_mz = kNaN;
  if (!record.mz.empty()) {
    // Points are usually in m/z order, but nothing promises it.
    const auto [low, high] = lowest_highest(record.mz);
    facts.lowest_mz = low;
    facts.highest_mz = high;
  }
  facts.scan_low_mz = record.low_mz.value_or(kNaN);
  facts.scan_high_mz = record.high_mz.value_or(kNaN);
  facts.precursor_mz = reader::precursor_mz(record.precursor).value_or(kNaN);
  facts.calibration_drift_ppm = kNaN;
  return facts;
}

ScanFacts failed_facts(std::uint32_t index, std::uint32_t scan_number, std::string native_id,
                       std::uint32_t ms_level, double rt, std::int8_t polarity) {
  ScanFacts facts;
  facts.index = index;
  facts.scan_number = scan_number;
  facts.native_id = std::move(native_id);
  facts.ms_level = ms_level;
  facts.rt = rt;
  facts.polarity = polarity;
  facts.decoded = false;
  facts.tic = facts.base_peak_mz = facts.base_peak_intensity = kNaN;
  facts.lowest_mz = facts.highest_mz = facts.scan_low_mz = facts.scan_high_mz = kNaN;
  facts.precursor_mz = kNaN;
  facts.calibration_drift_ppm = kNaN;
  return facts;
}

}  // namespace karvel::qc
