#include "reader/mz_windows.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace karvel::reader {
namespace {

bool holds_something(const MzWindow& window) { return window.low <= window.high; }

// True when some of the kBlock m/z from mz on lies in [low, high].
constexpr std::size_t kBlock = 16;
bool block_touches(const double* mz, double low, double high) {
#if defined(__SSE2__)
  const __m128d lows = _mm_set1_pd(low);
  const __m128d highs = _mm_set1_pd(high);
  __m128d inside = _mm_setzero_pd();
  for (std::size_t i = 0; i < kBlock; i += 2) {
    const __m128d values = _mm_loadu_pd(mz + i);
    inside = _mm_or_pd(inside, _mm_and_pd(_mm_cmpge_pd(values, lows), _mm_cmple_pd(values, highs)));
  }
  return _mm_movemask_pd(inside) != 0;
#else
  unsigned inside = 0;
  for (std::size_t i = 0; i < kBlock; ++i) {
    inside |= static_cast<unsigned>(mz[i] >= low) & static_cast<unsigned>(mz[i] <= high);
  }
  return inside != 0;
#endif
}

// Most points lie outside a window: a block of points is tested as a whole
// first (wide comparisons), and only a block that holds a point of the
// window is summed point by point, so the sum is that of adding its points
// one by one.
double linear_sum(std::span<const double> mz, std::span<const float> intensity, double low, double high) {
  const std::size_t count = mz.size();
  double sum = 0.0;
  std::size_t start = 0;
  for (; start + kBlock <= count; start += kBlock) {
    if (!block_touches(mz.data() + start, low, high)) continue;
    for (std::size_t i = start; i < start + kBlock; ++i) {
      if (mz[i] >= low && mz[i] <= high) sum += intensity[i];
    }
  }
  for (std::size_t i = start; i < count; ++i) {
    if (mz[i] >= low && mz[i] <= high) sum += intensity[i];
  }
  return sum;
}

// The points of a window among rising m/z: from the first at or above its
// low, while at or below its high. A window holds a point or two when
// targets are many, so the walk goes four points at a time and takes the
// last few without a branch on each: a sorted run of comparisons is a count
// (or a prefix to add). Adding 0.0 for a point past the window leaves the
// sum as it is (a sum that starts at +0.0 is never -0.0), so the sums are
// those of adding the window's points one by one.
std::size_t first_at_or_above(const double* mz, std::size_t count, std::size_t first, double low) {
  while (first + 4 <= count && mz[first + 3] < low) first += 4;
  if (first + 4 > count) {
    while (first < count && mz[first] < low) ++first;
    return first;
  }
  return first + static_cast<std::size_t>(mz[first] < low) + static_cast<std::size_t>(mz[first + 1] < low) +
         static_cast<std::size_t>(mz[first + 2] < low);
}

// The points a window may have on average for one walk over the points to
// beat one walk over the windows (which steps over four points at a time).
constexpr std::size_t kPointsPerWindow = 4;

// Buckets of the lookup for disjoint windows, per window: a point shares its
// bucket with a window's high seldom enough that the step over it is a
// branch mostly not taken. Windows beyond the cap keep the walk.
constexpr std::size_t kBucketsPerWindow = 16;
constexpr std::size_t kMaxBucketedWindows = std::size_t{1} << 22;

// value, or +0.0 when not keep: a mask, not a branch.
double kept(bool keep, float value) {
  const std::uint64_t mask = std::uint64_t{0} - static_cast<std::uint64_t>(keep);
  return std::bit_cast<double>(std::bit_cast<std::uint64_t>(static_cast<double>(value)) & mask);
}

double sum_up_to(const double* mz, const float* intensity, std::size_t count, std::size_t i, double high) {
  double sum = 0.0;
  while (i + 4 <= count && mz[i + 3] <= high) {
    sum += intensity[i];
    sum += intensity[i + 1];
    sum += intensity[i + 2];
    sum += intensity[i + 3];
    i += 4;
  }
  if (i + 4 > count) {
    for (; i < count && mz[i] <= high; ++i) sum += intensity[i];
    return sum;
  }
  sum += kept(mz[i] <= high, intensity[i]);
  sum += kept(mz[i + 1] <= high, intensity[i + 1]);
  sum += kept(mz[i + 2] <= high, intensity[i + 2]);
  return sum;
}

}  // namespace

MzWindows::MzWindows(std::vector<MzWindow> windows) : windows_(std::move(windows)) {
  for (std::size_t k = 0; k < windows_.size(); ++k) {
    if (holds_something(windows_[k])) {
      by_low_.push_back({windows_[k].low, windows_[k].high, k});
    } else {
      empty_.push_back(k);
    }
  }
  std::stable_sort(by_low_.begin(), by_low_.end(), [](const Placed& a, const Placed& b) { return a.low < b.low; });
  for (std::size_t k = 1; k < by_low_.size(); ++k) disjoint_ = disjoint_ && by_low_[k - 1].high < by_low_[k].low;
  if (!disjoint_ || by_low_.size() <= 2 || by_low_.size() > kMaxBucketedWindows) return;
  const double span = by_low_.back().high - by_low_.front().low;
  if (!(span > 0.0) || !std::isfinite(span)) return;
  const std::size_t buckets = kBucketsPerWindow * by_low_.size();
  bucket_scale_ = static_cast<double>(buckets) / span;
  if (!std::isfinite(bucket_scale_)) return;  // a span too narrow to cut
  bucket_base_ = by_low_.front().low;
  // bucket_of rises with the m/z, so every window counted for a bucket ends
  // below each point that falls into it.
  ended_before_.resize(buckets);
  std::size_t k = 0;
  for (std::size_t b = 0; b < buckets; ++b) {
    while (k < by_low_.size() && bucket_of(by_low_[k].high) < b) ++k;
    ended_before_[b] = static_cast<std::uint32_t>(k);
  }
  // The first window that reaches into a bucket has the lowest low there: a
  // point of the bucket below it lies in no window.
  lowest_low_.assign(buckets, std::numeric_limits<double>::infinity());
  for (std::size_t w = by_low_.size(); w-- > 0;) {
    const std::size_t last = bucket_of(by_low_[w].high);
    for (std::size_t b = bucket_of(by_low_[w].low); b <= last; ++b) lowest_low_[b] = by_low_[w].low;
  }
}

std::size_t MzWindows::bucket_of(double mz) const noexcept {
  // Asked only of m/z at or above the first low: never negative. The cap
  // is taken before the truncation, as the wide test in sum does.
  const double place = std::min((mz - bucket_base_) * bucket_scale_, static_cast<double>(ended_before_.size() - 1));
  return static_cast<std::size_t>(static_cast<std::int64_t>(place));
}

void MzWindows::sum(std::span<const double> mz, std::span<const float> intensity, double* out,
                    std::size_t stride, bool known_rising) const noexcept {
  const std::size_t count = std::min(mz.size(), intensity.size());
  mz = mz.first(count);
  intensity = intensity.first(count);
  for (const std::size_t k : empty_) out[k * stride] = 0.0;
  if (by_low_.empty()) return;
  if (!known_rising && !rising(mz)) {
    for (const Placed& window : by_low_) out[window.slot * stride] = linear_sum(mz, intensity, window.low, window.high);
    return;
  }
  // Rising m/z and a window or two: each window's points are found by
  // bisection, a few steps beside the decoding or the wide pass that
  // checked the order.
  if (by_low_.size() <= 2) {
    for (const Placed& window : by_low_) {
      const std::size_t begin =
          static_cast<std::size_t>(std::lower_bound(mz.begin(), mz.end(), window.low) - mz.begin());
      const std::size_t end =
          static_cast<std::size_t>(std::upper_bound(mz.begin() + begin, mz.end(), window.high) - mz.begin());
      double sum = 0.0;
      for (std::size_t i = begin; i < end; ++i) sum += intensity[i];
      out[window.slot * stride] = sum;
    }
    return;
  }
  // Rising m/z and disjoint windows about as many as their points: one walk
  // over the points, each added to the sum of the first window that does
  // not end below it (+0.0 when the point lies below that window's low),
  // that window found through the buckets, and most points, which lie in
  // no window, set aside four at a time: no walk over the windows between
  // two points.
  if (disjoint_) {
    const auto begin = static_cast<std::size_t>(
        std::lower_bound(mz.begin(), mz.end(), by_low_.front().low) - mz.begin());
    const auto end = static_cast<std::size_t>(
        std::upper_bound(mz.begin() + begin, mz.end(), by_low_.back().high) - mz.begin());
    if (end - begin <= kPointsPerWindow * by_low_.size() && !ended_before_.empty()) {
      for (const Placed& window : by_low_) out[window.slot * stride] = 0.0;
      const auto add = [&](std::size_t i) {
        const double value = mz[i];
        const std::size_t b = bucket_of(value);
        if (!(value >= lowest_low_[b])) return;
        // Steps only over windows that end in the point's own bucket, and
        // stops at the last window at the latest: value is at most its high.
        std::size_t k = ended_before_[b];
        while (by_low_[k].high < value) ++k;
        if (value >= by_low_[k].low) out[by_low_[k].slot * stride] += static_cast<double>(intensity[i]);
      };
      std::size_t i = begin;
#if defined(__SSE2__)
      // Four points at a time against their buckets' lowest lows, in wide
      // comparisons (the buckets computed as bucket_of does): most points
      // lie in no window.
      const __m128d base = _mm_set1_pd(bucket_base_);
      const __m128d scale = _mm_set1_pd(bucket_scale_);
      const __m128d last = _mm_set1_pd(static_cast<double>(lowest_low_.size() - 1));
      const auto lowest_lows = [&](__m128d values) {
        const __m128i b = _mm_cvttpd_epi32(_mm_min_pd(_mm_mul_pd(_mm_sub_pd(values, base), scale), last));
        return _mm_setr_pd(lowest_low_[static_cast<std::uint32_t>(_mm_cvtsi128_si32(b))],
                           lowest_low_[static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(b, 4)))]);
      };
      for (; i + 4 <= end; i += 4) {
        const __m128d first = _mm_loadu_pd(mz.data() + i);
        const __m128d second = _mm_loadu_pd(mz.data() + i + 2);
        const __m128d inside =
            _mm_or_pd(_mm_cmpge_pd(first, lowest_lows(first)), _mm_cmpge_pd(second, lowest_lows(second)));
        if (_mm_movemask_pd(inside) == 0) continue;
        for (std::size_t j = i; j < i + 4; ++j) add(j);
      }
#endif
      for (; i < end; ++i) add(i);
      return;
    }
  }
  // Rising m/z and windows by rising low: the first point of each window
  // only moves forward.
  std::size_t first = 0;
  for (const Placed& window : by_low_) {
    first = first_at_or_above(mz.data(), count, first, window.low);
    out[window.slot * stride] = sum_up_to(mz.data(), intensity.data(), count, first, window.high);
  }
}

}  // namespace karvel::reader
