// Sums of a spectrum's intensities over many m/z windows in one pass: the
// core of extracted-ion chromatograms for one target or thousands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "raw/peaks.hpp"

namespace karvel::reader {

// The closed m/z interval [low, high]. A window whose low is above its high,
// or either bound NaN, holds nothing.
struct MzWindow {
  double low = 0.0;
  double high = 0.0;
};

class MzWindows {
 public:
  // The windows in the order their sums are given; they may overlap and
  // come in any order.
  explicit MzWindows(std::vector<MzWindow> windows);

  std::size_t size() const noexcept { return windows_.size(); }
  const MzWindow& operator[](std::size_t k) const noexcept { return windows_[k]; }

  // For each window k: the sum, in 64 bits, of intensity[i] over the points
  // i whose mz[i] lies in it, taken in ascending i, written to
  // out[k * stride]. Points whose m/z rise (the usual case) are visited once
  // for all windows; otherwise every window scans every point. The sums do
  // not depend on which way was taken. mz and intensity have equal lengths
  // (else the shorter counts); out holds (size() - 1) * stride + 1 values
  // at least, and every slot k * stride is written. known_rising: the
  // caller knows that mz rises (a decoder's Peaks::mz_rising), so the order
  // is not checked again.
  void sum(std::span<const double> mz, std::span<const float> intensity, double* out, std::size_t stride,
           bool known_rising = false) const noexcept;

 private:
  // A window that holds something, and where its sum goes.
  struct Placed {
    double low;
    double high;
    std::size_t slot;
  };

  std::vector<MzWindow> windows_;
  std::vector<Placed> by_low_;       // the windows that hold something, by rising low
  std::vector<std::size_t> empty_;   // the others
  bool disjoint_ = true;             // each of by_low_ ends below the next one's low
  // Disjoint windows over a finite span: the span cut into equal buckets;
  // for each bucket the number of windows whose high lies in an earlier one
  // and the lowest low of the windows that reach into it. A point below its
  // bucket's lowest low lies in no window; another one's window (the first
  // that does not end below it) is a lookup and, rarely, a step over a
  // window that ends in its own bucket. Empty when the windows overlap or
  // their span is not finite.
  std::size_t bucket_of(double mz) const noexcept;
  double bucket_base_ = 0.0;
  double bucket_scale_ = 0.0;
  std::vector<std::uint32_t> ended_before_;
  std::vector<double> lowest_low_;
};

using raw::rising;

}  // namespace karvel::reader
