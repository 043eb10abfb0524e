// The noise of a profile and the allowances it gives (see peak_picker.hpp):
// internal to the picker.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

#include "centroid/peak_picker.hpp"

namespace karvel::centroid::detail {

// An intensity as signal: non-finite and non-positive values are zero.
inline double signal(float value) noexcept {
  return std::isfinite(value) && value > 0.0f ? static_cast<double>(value) : 0.0;
}

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

// How far a dip may go before it separates two maxima: kRippleNoise times
// the noise spread expected at the level of the dip. Counting noise grows
// as the square root of the level, so the baseline's spread is scaled by
// sqrt(level / noise level) above the noise level.
struct Allowance {
  double level = 0;   // the noise level
  double spread = 0;  // the baseline's point-to-point spread

  double at(double height) const noexcept {
    if (!(level > 0)) return 0.0;
    return kRippleNoise * spread * std::sqrt(std::max(height, level) / level);
  }
};

// The noise level and spread of a profile (see noise.cpp).
Allowance estimate_noise(std::span<const float> intensity);

}  // namespace karvel::centroid::detail
