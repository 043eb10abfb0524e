#include "reader/mz_windows.hpp"

#include <algorithm>

namespace karvel::reader {
namespace {

bool holds_something(const MzWindow& window) { return window.low <= window.high; }

double linear_sum(std::span<const double> mz, std::span<const float> intensity, const MzWindow& window) {
  double sum = 0.0;
  for (std::size_t i = 0; i < mz.size(); ++i) {
    const double value = mz[i];
    if (value >= window.low && value <= window.high) sum += intensity[i];
  }
  return sum;
}

}  // namespace

bool rising(std::span<const double> mz) noexcept {
  for (std::size_t i = 1; i < mz.size(); ++i) {
    if (!(mz[i - 1] <= mz[i])) return false;
  }
  return mz.size() != 1 || mz[0] == mz[0];
}

MzWindows::MzWindows(std::vector<MzWindow> windows) : windows_(std::move(windows)) {
  for (std::size_t k = 0; k < windows_.size(); ++k) {
    if (holds_something(windows_[k])) by_low_.push_back(static_cast<std::uint32_t>(k));
  }
  std::stable_sort(by_low_.begin(), by_low_.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return windows_[a].low < windows_[b].low; });
}

void MzWindows::sum(std::span<const double> mz, std::span<const float> intensity, double* out,
                    std::size_t stride) const noexcept {
  const std::size_t count = std::min(mz.size(), intensity.size());
  mz = mz.first(count);
  intensity = intensity.first(count);
  for (std::size_t k = 0; k < windows_.size(); ++k) out[k * stride] = 0.0;
  // One or two windows: a straight scan each costs no more than checking
  // the order first.
  if (by_low_.size() <= 2 || !rising(mz)) {
    for (const std::uint32_t k : by_low_) out[k * stride] = linear_sum(mz, intensity, windows_[k]);
    return;
  }
  // Rising m/z and windows by rising low: the first point of each window
  // only moves forward, and the points of a window are the run from there
  // up to its high.
  std::size_t first = 0;
  for (const std::uint32_t k : by_low_) {
    const MzWindow& window = windows_[k];
    while (first < count && mz[first] < window.low) ++first;
    double sum = 0.0;
    for (std::size_t i = first; i < count && mz[i] <= window.high; ++i) sum += intensity[i];
    out[k * stride] = sum;
  }
}

}  // namespace karvel::reader
