#include "centroid/peak_picker.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace karvel::centroid {
namespace {

// An intensity as signal: non-finite and non-positive values are zero.
inline double signal(float value) noexcept {
  return std::isfinite(value) && value > 0.0f ? static_cast<double>(value) : 0.0;
}

// The vertex of the parabola through (-1, a), (0, b), (1, c) on logarithms,
// for b >= a, b >= c, not all equal: offset in [-0.5, 0.5] and log height.
struct Vertex {
  double offset;
  double log_height;
};

Vertex three_point_vertex(double a, double b, double c) noexcept {
  const double curvature = a - 2.0 * b + c;  // < 0 for a maximum that is not flat
  const double offset = 0.5 * (a - c) / curvature;
  return {offset, b - 0.25 * (a - c) * offset};
}

// Coefficients of y = c0 + c1 x + c2 x^2.
struct Parabola {
  double c0 = 0;
  double c1 = 0;
  double c2 = 0;
};

// Weighted least-squares parabola through the n points; false when the
// points do not determine one.
bool fit_parabola(const double* xs, const double* ys, const double* ws, std::size_t n, Parabola& fit) {
  double s[5] = {0, 0, 0, 0, 0};  // sums of w x^k
  double t[3] = {0, 0, 0};        // sums of w y x^k
  for (std::size_t k = 0; k < n; ++k) {
    double power = ws[k];
    for (int e = 0; e < 5; ++e) {
      s[e] += power;
      if (e < 3) t[e] += ys[k] * power;
      power *= xs[k];
    }
  }
  // Cramer's rule on the normal equations.
  const double m[3][3] = {{s[0], s[1], s[2]}, {s[1], s[2], s[3]}, {s[2], s[3], s[4]}};
  auto det = [](const double (&a)[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  const double d = det(m);
  if (!(std::fabs(d) > 1e-12 * std::fabs(s[0] * s[2] * s[4])) || !std::isfinite(d)) return false;
  double replaced[3][3][3];
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) {
      for (int col = 0; col < 3; ++col) replaced[c][r][col] = col == c ? t[r] : m[r][col];
    }
  }
  fit = {det(replaced[0]) / d, det(replaced[1]) / d, det(replaced[2]) / d};
  return std::isfinite(fit.c0) && std::isfinite(fit.c1) && std::isfinite(fit.c2);
}

// The Gaussian fitted to the top of the maximum [first, last] (equal
// points of intensity `value`, both neighbours positive): a parabola fitted
// to the logarithms of the points from the maximum down to half its value
// on each side (at least the two neighbours, at most kTopSide points a
// side; not above the maximum, and not past a rise of more than `ripple`
// over the lowest point passed, which is a valley before another peak),
// each weighted by its intensity squared, the inverse of the variance of
// its logarithm. with_top: the maximum's own points are fitted too;
// without, only the flanks (for a plateau, whose top has lost its shape).
// False when the points do not give a peak within them.
constexpr std::size_t kTopSide = 32;

bool fit_top(std::span<const float> intensity, std::size_t first, std::size_t last, double value,
             double ripple, bool with_top, Apex& apex) {
  const double half = 0.5 * value;
  // The flanks of a plateau take two points a side even below half height.
  const std::size_t sure = with_top ? 1 : 2;
  auto inside = [&](double outer, std::size_t taken, double& lowest) {
    if (outer == 0.0 || (outer < half && taken >= sure) || outer > value || outer > lowest + ripple) {
      return false;
    }
    lowest = std::min(lowest, outer);
    return true;
  };
  std::size_t low = first - 1;
  double lowest = signal(intensity[low]);
  while (low > 0 && first - low < kTopSide && inside(signal(intensity[low - 1]), first - low, lowest)) {
    --low;
  }
  std::size_t high = last + 1;
  lowest = signal(intensity[high]);
  while (high + 1 < intensity.size() && high - last < kTopSide &&
         inside(signal(intensity[high + 1]), high - last, lowest)) {
    ++high;
  }
  const double centre = 0.5 * (static_cast<double>(first) + static_cast<double>(last));
  double xs[2 * kTopSide + 2];
  double ys[2 * kTopSide + 2];
  double ws[2 * kTopSide + 2];
  std::size_t n = 0;
  for (std::size_t i = low; i <= high; ++i) {
    if (!with_top && i >= first && i <= last) continue;
    const double v = signal(intensity[i]);
    xs[n] = static_cast<double>(i) - centre;
    ys[n] = std::log(v / value);  // relative to the top: values near 0
    ws[n] = (v / value) * (v / value);
    ++n;
  }
  if (n < 3) return false;
  Parabola fit;
  if (!fit_parabola(xs, ys, ws, n, fit) || !(fit.c2 < 0)) return false;
  const double offset = -fit.c1 / (2.0 * fit.c2);
  // On a noisy wide top the highest point may lie a few points off the
  // centre; the vertex must lie within the points fitted.
  if (!(offset >= xs[0] && offset <= xs[n - 1])) return false;
  const double height = value * std::exp(fit.c0 - fit.c1 * fit.c1 / (4.0 * fit.c2));
  if (!std::isfinite(height)) return false;
  apex = {centre + offset, std::max(height, value)};
  return true;
}

}  // namespace

namespace {

// The median of an evenly strided sample of at most kNoiseSample of the
// count values at values (reordered).
double strided_median(float* values, std::size_t count) {
  if (count == 0) return 0.0;
  const std::size_t stride = (count + kNoiseSample - 1) / kNoiseSample;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < count; k += stride) values[kept++] = values[k];
  float* const middle = values + kept / 2;
  std::nth_element(values, middle, values + kept);
  return static_cast<double>(*middle);
}

}  // namespace

double noise_level(std::span<const float> intensity) {
  std::vector<float> positives;
  positives.reserve(intensity.size());
  for (const float value : intensity) {
    if (value > 0.0f && value <= std::numeric_limits<float>::max()) positives.push_back(value);
  }
  return strided_median(positives.data(), positives.size());
}

namespace {

// A maximum: the equal points [first, last], their value, and the lowest
// intensity between the previous maximum (in position order) and this one.
struct Candidate {
  std::size_t first;
  std::size_t last;
  double value;
  double valley_before;
};

// An intensity as signal, in float: non-finite and non-positive values are
// zero (without a branch).
inline float signal_float(float value) noexcept {
  return ((value > 0.0f) & (value <= std::numeric_limits<float>::max())) ? value : 0.0f;
}

// True when the eight values at data are all +0.0 (bit patterns zero).
inline bool eight_zeros(const float* data) noexcept {
  std::uint64_t words[4];
  std::memcpy(words, data, sizeof words);
  return (words[0] | words[1] | words[2] | words[3]) == 0;
}

// Every maximum of the profile, in position order, into out; the profile's
// positive values, in order, into positives (sized to hold them all).
void find_candidates(std::span<const float> intensity, std::vector<Candidate>& out,
                     std::vector<float>& positives, std::size_t& positive_count) {
  out.clear();
  const std::size_t n = intensity.size();
  positives.resize(n);
  float* const gathered = positives.data();
  std::size_t count = 0;
  const float* const data = intensity.data();
  std::size_t i = 0;
  float previous = 0.0f;  // signal at i - 1
  float valley = 0.0f;    // lowest signal since the last maximum (none yet: 0)
  while (i < n) {
    if (previous == 0.0f) {
      // Zero runs, the bulk of a time-of-flight profile, eight points a step.
      while (i + 8 <= n && eight_zeros(data + i)) i += 8;
      if (i == n) break;
    }
    const float value = signal_float(data[i]);
    gathered[count] = value;
    count += static_cast<std::size_t>(value > 0.0f);
    if (value <= previous) {  // zero included: signal is never negative
      valley = std::min(valley, value);
      previous = value;
      ++i;
      continue;
    }
    // A rise to value at i: extend over the equal points that follow.
    std::size_t last = i;
    while (last + 1 < n && signal_float(data[last + 1]) == value) {
      ++last;
      gathered[count++] = value;
    }
    const float next = last + 1 < n ? signal_float(data[last + 1]) : 0.0f;
    if (next < value) {
      out.push_back({i, last, value, valley});
      valley = value;
    } else {
      valley = std::min(valley, value);
    }
    previous = value;
    i = last + 1;
  }
  positive_count = count;
}

// Drops the maxima that are ripples on a higher one's top: those from which
// the intensity falls by less than `ripple`, and never to zero, on the way
// to a higher maximum. Runs over the maxima once with a stack of the kept ones.
void drop_ripples(std::vector<Candidate>& candidates, double ripple) {
  std::size_t kept = 0;  // candidates[0, kept) is the stack
  double carried = std::numeric_limits<double>::infinity();  // valley over dropped ones
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    Candidate current = candidates[k];
    current.valley_before = std::min(current.valley_before, carried);
    carried = std::numeric_limits<double>::infinity();
    bool dropped = false;
    while (kept > 0) {
      const Candidate& top = candidates[kept - 1];
      // A zero between them always separates two peaks.
      if (current.valley_before == 0.0 ||
          std::min(top.value, current.value) - current.valley_before >= ripple) {
        break;
      }
      if (top.value >= current.value) {
        carried = current.valley_before;  // the next one's valley reaches back to top
        dropped = true;
        break;
      }
      current.valley_before = std::min(current.valley_before, top.valley_before);
      --kept;
    }
    if (!dropped) candidates[kept++] = current;
  }
  candidates.resize(kept);
}

}  // namespace

void find_apexes(std::span<const float> intensity, const PickSettings& settings,
                 std::vector<Apex>& out) {
  out.clear();
  const double snr = settings.snr > 0 ? settings.snr : 0.0;  // NaN fails the comparison
  thread_local std::vector<Candidate> candidates;
  thread_local std::vector<float> positives;
  std::size_t positive_count = 0;
  find_candidates(intensity, candidates, positives, positive_count);
  const double noise = snr == 0.0 ? 0.0 : strided_median(positives.data(), positive_count);
  const double threshold = snr * noise;
  const double ripple = kRippleNoise * noise;
  if (ripple > 0) drop_ripples(candidates, ripple);
  const std::size_t n = intensity.size();
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const Candidate& candidate = candidates[k];
    const std::size_t i = candidate.first;
    const std::size_t last = candidate.last;
    const double value = candidate.value;
    if (value < threshold) continue;
    const double previous = i > 0 ? signal(intensity[i - 1]) : 0.0;
    const double next = last + 1 < n ? signal(intensity[last + 1]) : 0.0;
    Apex apex{static_cast<double>(i), value};
    const bool neighbours = previous > 0.0 && next > 0.0;
    if (last > i) {
      // A plateau: placed by its flanks, or at its middle.
      apex.position = 0.5 * (static_cast<double>(i) + static_cast<double>(last));
      Apex fitted;
      if (neighbours && fit_top(intensity, i, last, value, ripple, false, fitted)) {
        apex.position = fitted.position;
      }
      // Two equal points: the height of the Gaussian through the top.
      if (last == i + 1 && neighbours && fit_top(intensity, i, last, value, ripple, true, fitted)) {
        apex.height = fitted.height;
      }
    } else if (neighbours && fit_top(intensity, i, last, value, ripple, true, apex)) {
      // fitted
    } else if (neighbours) {
      const Vertex vertex = three_point_vertex(std::log(previous), std::log(value), std::log(next));
      const double height = std::exp(vertex.log_height);
      if (std::isfinite(vertex.offset) && std::isfinite(height)) {
        apex = {static_cast<double>(i) + vertex.offset, std::max(height, value)};
      }
    }
    // A fit stays within the points of the spectrum and kApexMargin short of
    // halfway to the neighbouring maxima, so positions keep a strict order
    // that survives the calibration (two apexes a hair apart on either side
    // of halfway would share a flight time and an m/z); one that would not
    // (only on odd shapes) keeps its own point, and a height the fit could
    // not give keeps the maximum's value.
    const double lower =
        k > 0 ? 0.5 * (static_cast<double>(candidates[k - 1].last) + static_cast<double>(i)) + kApexMargin
              : 0.0;
    const double upper =
        k + 1 < candidates.size()
            ? 0.5 * (static_cast<double>(last) + static_cast<double>(candidates[k + 1].first)) - kApexMargin
            : static_cast<double>(n - 1);
    const bool inside = k > 0 ? apex.position > lower : apex.position >= lower;
    const bool below = k + 1 < candidates.size() ? apex.position < upper : apex.position <= upper;
    if (!(inside && below)) {
      apex.position = 0.5 * (static_cast<double>(i) + static_cast<double>(last));
    }
    if (!(std::isfinite(apex.height) && apex.height > 0)) apex.height = value;
    out.push_back(apex);
  }
}

double interpolate_mz(std::span<const double> mz, double position) noexcept {
  const std::size_t n = mz.size();
  if (n == 1) return mz[0];
  if (n == 2) return mz[0] + (mz[1] - mz[0]) * position;
  double nearest = std::round(position);
  nearest = std::clamp(nearest, 1.0, static_cast<double>(n - 2));
  const auto k = static_cast<std::size_t>(nearest);
  const double u = position - nearest;  // in [-0.5, 0.5] inside the ends
  const double before = mz[k - 1];
  const double at = mz[k];
  const double after = mz[k + 1];
  // Lagrange form on the nodes -1, 0, 1.
  return at + 0.5 * u * (after - before) + 0.5 * u * u * (after - 2.0 * at + before);
}

namespace {

float height_as_float(double height) noexcept {
  constexpr double kLargest = std::numeric_limits<float>::max();
  return static_cast<float>(std::min(height, kLargest));
}

}  // namespace

raw::Peaks pick_flight_times(std::span<const float> intensity, const FlightAxis& axis,
                             const raw::calibration::TofCalibration& calibration,
                             const PickSettings& settings) {
  thread_local std::vector<Apex> apexes;
  find_apexes(intensity, settings, apexes);
  raw::Peaks peaks;
  peaks.mz.resize(apexes.size());
  peaks.intensity.resize(apexes.size());
  for (std::size_t k = 0; k < apexes.size(); ++k) {
    peaks.mz[k] = calibration.mz(axis.x0 + apexes[k].position * axis.dx);
    peaks.intensity[k] = height_as_float(apexes[k].height);
  }
  return peaks;
}

raw::Peaks pick_mz(std::span<const double> mz, std::span<const float> intensity,
                   const PickSettings& settings) {
  const std::size_t n = std::min(mz.size(), intensity.size());
  std::vector<Apex> apexes;
  find_apexes(intensity.first(n), settings, apexes);
  raw::Peaks peaks;
  peaks.mz.resize(apexes.size());
  peaks.intensity.resize(apexes.size());
  for (std::size_t k = 0; k < apexes.size(); ++k) {
    peaks.mz[k] = interpolate_mz(mz.first(n), apexes[k].position);
    peaks.intensity[k] = height_as_float(apexes[k].height);
  }
  return peaks;
}

}  // namespace karvel::centroid
