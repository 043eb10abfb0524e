#include "centroid/noise.hpp"

#include <vector>

namespace karvel::centroid {
namespace detail {

// The noise of a profile (see the header), from an evenly strided sample of
// at most kNoiseSample of its points: the level is the median of the
// sample, zeros included; when half of it or more is zero, the low
// kZeroedQuantile of its positive values (of all the profile's positive
// values when the sample holds fewer than kZeroedSample). The spread is the
// median difference over 0.954 (the standard deviation of Gaussian noise)
// between the sampled points and the points after them where both are
// positive and at most twice the level (baseline beside baseline); at least
// a tenth of the level and at most the level, and the level itself when
// fewer than kSpreadPairs such pairs were sampled (a zeroed baseline hides
// its spread).
constexpr std::size_t kSpreadPairs = 16;
constexpr std::size_t kZeroedSample = 512;

Allowance estimate_noise(std::span<const float> intensity) {
  thread_local std::vector<float> sample;
  thread_local std::vector<float> differences;
  const std::size_t n = intensity.size();
  if (n == 0) return {};
  const float* const data = intensity.data();
  const std::size_t stride = (n + kNoiseSample - 1) / kNoiseSample;
  sample.clear();
  std::size_t zeros = 0;
  for (std::size_t k = 0; k < n; k += stride) {
    const float value = signal_float(data[k]);
    zeros += value == 0.0f;
    sample.push_back(value);
  }
  double level = 0;
  if (2 * zeros < sample.size()) {
    const auto middle = sample.begin() + static_cast<std::ptrdiff_t>(sample.size() / 2);
    std::nth_element(sample.begin(), middle, sample.end());
    level = *middle;
  } else {
    std::erase(sample, 0.0f);
    if (sample.size() < kZeroedSample) {
      sample.clear();
      // Eight points a step: zero runs are the bulk of such a profile.
      for (std::size_t i = 0; i < n; i += 8) {
        if (i + 8 <= n && eight_zeros(data + i)) continue;
        for (std::size_t k = i; k < std::min(n, i + 8); ++k) {
          const float value = signal_float(data[k]);
          if (value > 0.0f) sample.push_back(value);
        }
      }
    }
    if (sample.empty()) return {};
    const auto rank = static_cast<std::size_t>(kZeroedQuantile * static_cast<double>(sample.size() - 1) + 0.5);
    const auto at = sample.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(sample.begin(), at, sample.end());
    level = *at;
  }
  differences.clear();
  const float top = static_cast<float>(2.0 * level);
  for (std::size_t k = 0; k + 1 < n; k += stride) {
    const float a = signal_float(data[k]);
    const float b = signal_float(data[k + 1]);
    if (a > 0.0f && b > 0.0f && a <= top && b <= top) differences.push_back(std::fabs(a - b));
  }
  double spread = level;
  if (differences.size() >= kSpreadPairs) {
    const auto middle = differences.begin() + static_cast<std::ptrdiff_t>(differences.size() / 2);
    std::nth_element(differences.begin(), middle, differences.end());
    spread = std::clamp(static_cast<double>(*middle) / 0.954, 0.1 * level, level);
  }
  return {level, spread};
}

}  // namespace detail

double noise_level(std::span<const float> intensity) { return detail::estimate_noise(intensity).level; }

}  // namespace karvel::centroid
