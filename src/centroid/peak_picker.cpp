#include "centroid/peak_picker.hpp"

#include <algorithm>
#include <cmath>
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

// Least-squares parabola y = c0 + c1 x + c2 x^2 through the points; false
// when the points do not determine one.
bool fit_parabola(std::span<const double> xs, std::span<const double> ys, double& c1, double& c2) {
  double s[5] = {0, 0, 0, 0, 0};  // sums of x^k
  double t[3] = {0, 0, 0};        // sums of y x^k
  for (std::size_t k = 0; k < xs.size(); ++k) {
    double power = 1;
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
  if (!(std::fabs(d) > 1e-12)) return false;
  double m1[3][3], m2[3][3];
  for (int r = 0; r < 3; ++r) {
    for (int col = 0; col < 3; ++col) {
      m1[r][col] = col == 1 ? t[r] : m[r][col];
      m2[r][col] = col == 2 ? t[r] : m[r][col];
    }
  }
  c1 = det(m1) / d;
  c2 = det(m2) / d;
  return std::isfinite(c1) && std::isfinite(c2);
}

// Position of a plateau [first, last] (last > first) from the Gaussian
// through its flanks, or its middle.
double plateau_position(std::span<const float> intensity, std::size_t first, std::size_t last) {
  const double middle = 0.5 * (static_cast<double>(first) + static_cast<double>(last));
  double xs[4];
  double ys[4];
  std::size_t count = 0;
  std::size_t left = 0;
  std::size_t right = 0;
  // Up to two positive points on each side, stopping at a zero.
  for (std::size_t step = 1; step <= 2 && step <= first; ++step) {
    const double value = signal(intensity[first - step]);
    if (value == 0.0) break;
    xs[count] = static_cast<double>(first - step) - middle;
    ys[count++] = std::log(value);
    ++left;
  }
  for (std::size_t step = 1; step <= 2 && last + step < intensity.size(); ++step) {
    const double value = signal(intensity[last + step]);
    if (value == 0.0) break;
    xs[count] = static_cast<double>(last + step) - middle;
    ys[count++] = std::log(value);
    ++right;
  }
  if (left == 0 || right == 0 || count < 3) return middle;
  double c1 = 0;
  double c2 = 0;
  if (!fit_parabola(std::span<const double>(xs, count), std::span<const double>(ys, count), c1, c2) ||
      !(c2 < 0)) {
    return middle;
  }
  const double offset = -c1 / (2.0 * c2);
  const double half_extent = 0.5 * static_cast<double>(last - first);
  if (!(std::fabs(offset) <= half_extent)) return middle;
  return middle + offset;
}

}  // namespace

double noise_level(std::span<const float> intensity) {
  std::size_t positive = 0;
  for (float value : intensity) positive += signal(value) > 0.0 ? 1 : 0;
  if (positive == 0) return 0.0;
  // Every stride-th positive value, at most kNoiseSample of them.
  const std::size_t stride = (positive + kNoiseSample - 1) / kNoiseSample;
  std::vector<float> sample;
  sample.reserve(positive / stride + 1);
  std::size_t seen = 0;
  for (float value : intensity) {
    if (signal(value) == 0.0) continue;
    if (seen++ % stride == 0) sample.push_back(value);
  }
  const auto middle = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2);
  std::nth_element(sample.begin(), middle, sample.end());
  return static_cast<double>(*middle);
}

void find_apexes(std::span<const float> intensity, const PickSettings& settings,
                 std::vector<Apex>& out) {
  out.clear();
  const std::size_t n = intensity.size();
  const double snr = settings.snr > 0 ? settings.snr : 0.0;  // NaN fails the comparison
  const double threshold = snr == 0.0 ? 0.0 : snr * noise_level(intensity);
  std::size_t i = 0;
  double previous = 0.0;  // signal at i - 1
  while (i < n) {
    const double value = signal(intensity[i]);
    if (value == 0.0 || value <= previous) {
      previous = value;
      ++i;
      continue;
    }
    // A rise to value at i: extend over the equal points that follow.
    std::size_t last = i;
    while (last + 1 < n && signal(intensity[last + 1]) == value) ++last;
    const double next = last + 1 < n ? signal(intensity[last + 1]) : 0.0;
    if (next < value && value >= threshold) {
      Apex apex{static_cast<double>(i), value};
      if (last > i) {
        apex.position = plateau_position(intensity, i, last);
        if (last == i + 1 && previous > 0.0 && next > 0.0) {
          // Two equal points: a Gaussian centred between them, whose height
          // each three-point fit (with the left or the right neighbour) gives.
          const double top = std::log(value);
          const double left = three_point_vertex(std::log(previous), top, top).log_height;
          const double right = three_point_vertex(top, top, std::log(next)).log_height;
          const double height = std::exp(0.5 * (left + right));
          if (std::isfinite(height)) apex.height = std::max(height, value);
        }
      } else if (previous > 0.0 && next > 0.0) {
        const Vertex vertex = three_point_vertex(std::log(previous), std::log(value), std::log(next));
        const double height = std::exp(vertex.log_height);
        if (std::isfinite(vertex.offset) && std::isfinite(height)) {
          apex = {static_cast<double>(i) + vertex.offset, std::max(height, value)};
        }
      }
      out.push_back(apex);
    }
    previous = value;
    i = last + 1;
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
