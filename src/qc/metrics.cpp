#include "qc/metrics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

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
  double rt_low = std::numeric_limits<double>::infinity();
  double rt_high = -rt_low;
  double mz_low = rt_low;
  double mz_high = rt_high;
  // MS1 rows that decoded, in acquisition order.
  std::vector<double> ms1_rt;
  std::vector<double> ms1_tic;
  std::vector<double> drifts;
  for (const ScanFacts& row : rows) {
    if (polarity && row.polarity != *polarity) continue;
    ++s.scans;
    if (row.ms_level == 1) ++s.ms1_spectra;
    if (row.ms_level == 2) ++s.ms2_spectra;
    if (!row.decoded) ++s.failed_spectra;
    if (std::isfinite(row.rt)) {
      rt_low = std::min(rt_low, row.rt);
      rt_high = std::max(rt_high, row.rt);
    }
    // The recorded scan range where there is one, else the points.
    const double low = std::isfinite(row.scan_low_mz) ? row.scan_low_mz : row.lowest_mz;
    const double high = std::isfinite(row.scan_high_mz) ? row.scan_high_mz : row.highest_mz;
    if (std::isfinite(low)) mz_low = std::min(mz_low, low);
    if (std::isfinite(high)) mz_high = std::max(mz_high, high);
    if (row.ms_level == 1 && row.decoded && std::isfinite(row.tic) && std::isfinite(row.rt)) {
      ms1_rt.push_back(row.rt);
      ms1_tic.push_back(row.tic);
    }
    if (std::isfinite(row.calibration_drift_ppm)) drifts.push_back(row.calibration_drift_ppm);
  }

  if (rt_low <= rt_high) {
    s.rt_range = Range{rt_low, rt_high};
    s.duration = rt_high - rt_low;
  }
  if (mz_low <= mz_high) s.mz_range = Range{mz_low, mz_high};

  const std::size_t n = ms1_tic.size();
  if (n >= 2) {
    double area = 0;
    for (std::size_t i = 1; i < n; ++i) {
      area += (ms1_rt[i] - ms1_rt[i - 1]) * (ms1_tic[i] + ms1_tic[i - 1]) / 2;
    }
    s.tic_area = area;
  } else if (n == 1) {
    s.tic_area = 0.0;
  }

  for (std::size_t i = 1; i < n; ++i) {
    // Written as products, so that a rise from zero counts as a jump and a
    // drop to zero as a fall.
    if (ms1_tic[i] > 10 * ms1_tic[i - 1]) ++s.signal_jumps;
    if (10 * ms1_tic[i] < ms1_tic[i - 1]) ++s.signal_falls;
  }

  if (n > 0 && s.duration && *s.duration > 0) {
    const double start = s.rt_range->first;
    // MS1 scans: the RT by which k quarters of them were acquired.
    std::array<double, 4> by_count{};
    for (std::size_t k = 1; k <= 4; ++k) {
      const std::size_t reached = (k * n + 3) / 4;  // ceil(k n / 4) scans
      by_count[k - 1] = ms1_rt[reached - 1];
    }
    s.ms1_rt_fractions = fractions(by_count, start, *s.duration);

    // TIC: the RT by which k quarters of the summed MS1 TIC accumulated.
    double total = 0;
    for (const double tic : ms1_tic) total += tic;
    if (total > 0) {
      std::array<double, 4> by_tic{};
      double running = 0;
      std::size_t k = 1;
      for (std::size_t i = 0; i < n && k <= 4; ++i) {
        running += ms1_tic[i];
        while (k <= 4 && running >= total * static_cast<double>(k) / 4) by_tic[(k++) - 1] = ms1_rt[i];
      }
      // The running sum ends at exactly total, so every quarter is reached.
      s.tic_rt_fractions = fractions(by_tic, start, *s.duration);
    }
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
