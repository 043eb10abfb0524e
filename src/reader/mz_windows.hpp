// Sums of a spectrum's intensities over many m/z windows in one pass: the
// core of extracted-ion chromatograms for one target or thousands.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "raw/mspeak.hpp"
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
  // out[k * stride]. Each point is visited once for all windows when they
  // are listed in buckets (about as many as the points) or when the m/z
  // rise (the usual case); otherwise every window scans every point. The
  // sums do not depend on which way was taken. mz and intensity have equal lengths
  // (else the shorter counts); out holds (size() - 1) * stride + 1 values
  // at least, and every slot k * stride is written. known_rising: the
  // caller knows that mz rises (a decoder's Peaks::mz_rising), so the order
  // is not checked again.
  void sum(std::span<const double> mz, std::span<const float> intensity, double* out, std::size_t stride,
           bool known_rising = false) const noexcept;

  // The same sums over the points a block stores as pairs, read where they
  // lie: a pass without arrays written and read again.
  void sum(const raw::mspeak::StoredPairs& points, double* out, std::size_t stride) const noexcept;
  // Whether that pass suits a block of `count` points better than decoding
  // them for the sum above: a window or two (each a test of every point),
  // or windows in buckets about as many as the points. Else the windows
  // are walked over rising decoded points.
  bool sums_stored(std::size_t count) const noexcept;

 private:
  // A window that holds something, and where its sum goes.
  struct Placed {
    double low;
    double high;
    std::size_t slot;
  };

  // Windows over a finite span cut into equal buckets: each bucket lists
  // the windows that reach into it, and holds the lowest low and highest
  // high among them (low +inf, high -inf for none). A point outside its
  // bucket's bounds lies in no window; inside them, in those of its
  // bucket's windows whose own bounds hold it. With one window in the
  // bucket the bounds are the window's own: no second test.
  struct Bucket {
    double low;
    double high;
    std::uint32_t first;  // into members_; the window's slot for a bucket of one
    std::uint32_t count;
  };
  // The bucket of an m/z from the lowest low to the highest high; one
  // below them (or NaN) falls into the first, one above them into the
  // last. The bounds are taken before the truncation, as in the wide test.
  std::size_t bucket_of(double mz) const noexcept {
    double place = (mz - bucket_base_) * bucket_scale_;
    place = place > 0.0 ? place : 0.0;
    place = std::min(place, static_cast<double>(buckets_.size() - 1));
    return static_cast<std::size_t>(static_cast<std::int64_t>(place));
  }
  // Zero in every slot.
  void zero(double* out, std::size_t stride) const noexcept;
  template <class Points>
  void bucket_sums(const Points& points, std::size_t begin, std::size_t end, double* out,
                   std::size_t stride) const noexcept;
  void add_in_bucket(const Bucket& bucket, double mz, float intensity, double* out,
                     std::size_t stride) const noexcept {
    if (bucket.count == 1) {  // its bounds are the window's; first its slot
      if (mz >= bucket.low && mz <= bucket.high) out[bucket.first * stride] += static_cast<double>(intensity);
      return;
    }
    for (std::uint32_t m = bucket.first; m < bucket.first + bucket.count; ++m) {
      const Placed& window = members_[m];
      if (mz >= window.low && mz <= window.high) out[window.slot * stride] += static_cast<double>(intensity);
    }
  }

  std::vector<MzWindow> windows_;
  std::vector<Placed> by_low_;       // the windows that hold something, by rising low
  std::vector<std::size_t> empty_;   // the others
  double highest_high_ = 0.0;        // of by_low_
  // Empty when the windows' span is not finite or they reach into too many
  // buckets in all (wide windows over narrow ones).
  double bucket_base_ = 0.0;
  double bucket_scale_ = 0.0;
  std::vector<Bucket> buckets_;
  std::vector<Placed> members_;
};

using raw::rising;

}  // namespace karvel::reader
