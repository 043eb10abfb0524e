#include "qc/metrics.hpp"

#include "reader/scan_row.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

namespace karvel::qc {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The per-quarter intervals t_k - t_{k-1} (t_0 = start) over the run's
// duration.
Quartets fractions(std::array<double, 4> boundaries, double start, double duration) {
  Quartets out{};
  double previous = start;
  for (std::size_t k = 0; k < 4; ++k) {
    out[k] = (boundaries[k] - previous) / duration;
    previous = boundaries[k];
  }
  return out;
}

// log(Q2/Q1), log(Q3/Q2), log(max/Q3) of values (sorted in place).
Triplet quartile_ratios(std::vector<double>& values) {
  std::sort(values.begin(), values.end());
  const double q1 = quantile_of_sorted(values, 0.25);
  const double q2 = quantile_of_sorted(values, 0.5);
  const double q3 = quantile_of_sorted(values, 0.75);
  const double max = values.back();
  return {log_ratio(q2, q1), log_ratio(q3, q2), log_ratio(max, q3)};
}

// The RT by which k quarters of the scans at these times were acquired,
// as fractions (see fractions()); absent without scans.
std::optional<Quartets> count_fractions(std::vector<double> times, double start, double duration) {
  if (times.empty()) return std::nullopt;
  std::sort(times.begin(), times.end());
  const std::size_t n = times.size();
  std::array<double, 4> by_count{};
  for (std::size_t k = 1; k <= 4; ++k) by_count[k - 1] = times[(k * n + 3) / 4 - 1];  // ceil(k n / 4) scans
  return fractions(by_count, start, duration);
}

// Scans per second in each quarter of [start, start + duration] (the last
// quarter closed); absent without scans.
std::optional<Quartets> quarter_rates(std::span<const double> times, double start, double duration) {
  if (times.empty()) return std::nullopt;
  const double part = duration / 4;
  Quartets counts{};
  for (const double t : times) {
    const double position = std::floor((t - start) / part);
    counts[static_cast<std::size_t>(std::clamp(position, 0.0, 3.0))] += 1;
  }
  for (double& c : counts) c /= part;
  return counts;
}

// The intervals between consecutive times (in time order), sorted.
std::vector<double> intervals_of(std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::vector<double> out;
  for (std::size_t i = 1; i < times.size(); ++i) out.push_back(times[i] - times[i - 1]);
  std::sort(out.begin(), out.end());
  return out;
}

// 1 / the shortest and 1 / the longest positive interval of sorted
// intervals (scans at the same time are one moment, not an infinite rate).
std::optional<std::pair<std::optional<double>, std::optional<double>>> fastest_slowest(
    std::span<const double> sorted) {
  const auto positive = std::ranges::upper_bound(sorted, 0.0);
  if (positive == sorted.end()) return std::nullopt;
  return std::pair<std::optional<double>, std::optional<double>>{1.0 / *positive, 1.0 / sorted.back()};
}

}  // namespace

double quantile_of_sorted(std::span<const double> sorted, double q) noexcept {
  if (sorted.empty()) return kNaN;
  const double position = q * static_cast<double>(sorted.size() - 1);
  const auto below = static_cast<std::size_t>(std::floor(position));
  const std::size_t above = std::min(below + 1, sorted.size() - 1);
  const double weight = position - static_cast<double>(below);
  return sorted[below] + weight * (sorted[above] - sorted[below]);
}

double log_ratio(double numerator, double denominator) noexcept {
  if (!(numerator > 0) || !(denominator > 0) || !std::isfinite(numerator) ||
      !std::isfinite(denominator)) {
    return kNaN;
  }
  return std::log(numerator / denominator);
}

std::vector<std::int8_t> polarities_of(std::span<const ScanFacts> rows) {
  bool seen[3] = {false, false, false};  // +1, -1, 0
  for (const ScanFacts& row : rows) seen[row.polarity > 0 ? 0 : row.polarity < 0 ? 1 : 2] = true;
  std::vector<std::int8_t> out;
  if (seen[0]) out.push_back(1);
  if (seen[1]) out.push_back(-1);
  if (seen[2]) out.push_back(0);
  return out;
}

RunSummary summarise(std::span<const ScanFacts> rows, std::optional<std::int8_t> polarity) {
  RunSummary s;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  double rt_low = kInf;
  double rt_high = -kInf;
  Range window{kInf, -kInf};
  Range precursor{kInf, -kInf};
  // MS1 rows that decoded, in acquisition order.
  std::vector<double> ms1_rt;
  std::vector<double> ms1_tic;
  // Acquisition times of every MS1 and MS2 scan, decoded or not.
  std::vector<double> ms1_times;
  std::vector<double> ms2_times;
  std::uint64_t decoded_ms1 = 0;
  std::uint64_t decoded_ms2 = 0;
  std::uint64_t empty_ms1 = 0;
  std::uint64_t empty_ms2 = 0;
  std::vector<double> drifts;
  for (const ScanFacts& row : rows) {
    if (polarity && row.polarity != *polarity) continue;
    ++s.scans;
    const bool ms1 = reader::is_ms1(row.ms_level);
    const bool ms2 = row.ms_level == 2;
    if (ms1) ++s.ms1_spectra;
    if (ms2) ++s.ms2_spectra;
    if (!row.decoded) ++s.failed_spectra;
    if (row.decoded) {
      decoded_ms1 += ms1;
      decoded_ms2 += ms2;
      empty_ms1 += ms1 && row.empty;
      empty_ms2 += ms2 && row.empty;
    }
    if (std::isfinite(row.rt)) {
      rt_low = std::min(rt_low, row.rt);
      rt_high = std::max(rt_high, row.rt);
      if (ms1) ms1_times.push_back(row.rt);
      if (ms2) ms2_times.push_back(row.rt);
    }
    // The recorded scan window where there is one, else the points.
    const double low = std::isfinite(row.scan_low_mz) ? row.scan_low_mz : row.lowest_mz;
    const double high = std::isfinite(row.scan_high_mz) ? row.scan_high_mz : row.highest_mz;
    if (std::isfinite(low)) window.first = std::min(window.first, low);
    if (std::isfinite(high)) window.second = std::max(window.second, high);
    if (reader::is_msn(row.ms_level) && std::isfinite(row.precursor_mz)) {
      precursor.first = std::min(precursor.first, row.precursor_mz);
      precursor.second = std::max(precursor.second, row.precursor_mz);
    }
    if (ms1 && row.decoded && std::isfinite(row.tic) && std::isfinite(row.rt)) {
      ms1_rt.push_back(row.rt);
      ms1_tic.push_back(row.tic);
    }
    // Drift is measured by a scan's own calibration only: one that fell
    // back to the default agrees with the default by construction.
    if (row.calibration_source == CalibrationSource::Scan && std::isfinite(row.calibration_drift_ppm)) {
      drifts.push_back(row.calibration_drift_ppm);
    }
  }

  if (rt_low <= rt_high) {
    s.rt_range = Range{rt_low, rt_high};
    s.run_duration = rt_high - rt_low;
  }
  if (window.first <= window.second) s.scan_window_range = window;
  if (precursor.first <= precursor.second) s.precursor_mz_range = precursor;
  // Counted over the decoded scans of each level; absent without any.
  if (decoded_ms1 > 0) s.empty_ms1 = empty_ms1;
  if (decoded_ms2 > 0) s.empty_ms2 = empty_ms2;

  const std::size_t n = ms1_tic.size();
  if (n >= 2) {
    double area = 0;
    for (std::size_t i = 1; i < n; ++i) {
      area += (ms1_rt[i] - ms1_rt[i - 1]) * (ms1_tic[i] + ms1_tic[i - 1]) / 2;
    }
    s.ms1_tic_area = area;
    std::uint64_t jumps = 0;
    std::uint64_t falls = 0;
    for (std::size_t i = 1; i < n; ++i) {
      // Written as products, so that a rise from zero counts as a jump and a
      // drop to zero as a fall.
      if (ms1_tic[i] > 10 * ms1_tic[i - 1]) ++jumps;
      if (10 * ms1_tic[i] < ms1_tic[i - 1]) ++falls;
    }
    s.signal_jumps = jumps;
    s.signal_falls = falls;
  } else if (n == 1) {
    s.ms1_tic_area = 0.0;
  }

  const bool has_duration = s.run_duration && *s.run_duration > 0;
  if (has_duration) {
    const double start = s.rt_range->first;
    const double duration = *s.run_duration;
    s.ms1_rt_fractions = count_fractions(ms1_times, start, duration);
    s.ms2_rt_fractions = count_fractions(ms2_times, start, duration);
    s.ms1_quarter_hz = quarter_rates(ms1_times, start, duration);
    s.ms2_quarter_hz = quarter_rates(ms2_times, start, duration);
    // TIC: the RT by which k quarters of the summed MS1 TIC accumulated.
    double total = 0;
    for (const double tic : ms1_tic) total += tic;
    if (n > 0 && total > 0) {
      std::array<double, 4> by_tic{};
      double running = 0;
      std::size_t k = 1;
      for (std::size_t i = 0; i < n && k <= 4; ++i) {
        running += ms1_tic[i];
        while (k <= 4 && running >= total * static_cast<double>(k) / 4) by_tic[(k++) - 1] = ms1_rt[i];
      }
      // Rounding may leave the running sum a hair below total: the last
      // quarters then end at the last scan.
      while (k <= 4) by_tic[(k++) - 1] = ms1_rt[n - 1];
      s.tic_rt_fractions = fractions(by_tic, start, duration);
    }
  }

  if (const auto intervals = intervals_of(ms1_times); !intervals.empty()) {
    s.ms1_median_cycle_time = quantile_of_sorted(intervals, 0.5);
    if (const auto rates = fastest_slowest(intervals)) std::tie(s.ms1_fastest_hz, s.ms1_slowest_hz) = *rates;
  }
  if (const auto intervals = intervals_of(ms2_times); !intervals.empty()) {
    if (const auto rates = fastest_slowest(intervals)) std::tie(s.ms2_fastest_hz, s.ms2_slowest_hz) = *rates;
  }

  if (n > 0) {
    std::vector<double> tics = ms1_tic;
    s.tic_ratios = quartile_ratios(tics);
  }
  if (n > 1) {
    std::vector<double> changes;
    changes.reserve(n - 1);
    for (std::size_t i = 1; i < n; ++i) changes.push_back(std::fabs(ms1_tic[i] - ms1_tic[i - 1]));
    s.tic_change_ratios = quartile_ratios(changes);
  }

  if (!drifts.empty()) {
    double max_abs = 0;
    for (const double d : drifts) max_abs = std::max(max_abs, std::fabs(d));
    s.drift_max_abs_ppm = max_abs;
    std::sort(drifts.begin(), drifts.end());
    s.drift_median_ppm = quantile_of_sorted(drifts, 0.5);
  }
  return s;
}

}  // namespace karvel::qc
