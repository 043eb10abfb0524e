#include "reader/mz_windows.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KARVEL_WIDE_BUCKETS 1
#endif

namespace karvel::reader {
namespace {

bool holds_something(const MzWindow& window) { return window.low <= window.high; }

// Points in two arrays, and points read where a block stores them: the
// walks below read either through mz(i), intensity(i) and, for the wide
// comparisons, two(i) (the m/z of points i and i + 1).
struct ArrayPoints {
  const double* mz_values;
  const float* intensities;
  double mz(std::size_t i) const noexcept { return mz_values[i]; }
  float intensity(std::size_t i) const noexcept { return intensities[i]; }
#if defined(__SSE2__)
  __m128d two(std::size_t i) const noexcept { return _mm_loadu_pd(mz_values + i); }
#endif
};

struct PairPoints {
  raw::mspeak::StoredPairs pairs;
  double mz(std::size_t i) const noexcept { return pairs.mz(i); }
  float intensity(std::size_t i) const noexcept { return pairs.intensity(i); }
#if defined(__SSE2__)
  __m128d two(std::size_t i) const noexcept { return _mm_setr_pd(pairs.mz(i), pairs.mz(i + 1)); }
#endif
};

// True when some of the kBlock m/z from i on lies in [low, high].
constexpr std::size_t kBlock = 8;
template <class Points>
bool block_touches(const Points& points, std::size_t i, double low, double high) {
#if defined(__SSE2__)
  const __m128d lows = _mm_set1_pd(low);
  const __m128d highs = _mm_set1_pd(high);
  __m128d inside = _mm_setzero_pd();
  for (std::size_t k = i; k < i + kBlock; k += 2) {
    const __m128d values = points.two(k);
    inside = _mm_or_pd(inside, _mm_and_pd(_mm_cmpge_pd(values, lows), _mm_cmple_pd(values, highs)));
  }
  return _mm_movemask_pd(inside) != 0;
#else
  unsigned inside = 0;
  for (std::size_t k = i; k < i + kBlock; ++k) {
    inside |= static_cast<unsigned>(points.mz(k) >= low) & static_cast<unsigned>(points.mz(k) <= high);
  }
  return inside != 0;
#endif
}

// Most points lie outside a window: a block of points is tested as a whole
// first (wide comparisons), and only a block that holds a point of the
// window is summed point by point, so the sum is that of adding its points
// one by one.
template <class Points>
double linear_sum(const Points& points, std::size_t count, double low, double high) {
  double sum = 0.0;
  std::size_t start = 0;
  for (; start + kBlock <= count; start += kBlock) {
    if (!block_touches(points, start, low, high)) continue;
    for (std::size_t i = start; i < start + kBlock; ++i) {
      if (points.mz(i) >= low && points.mz(i) <= high) sum += points.intensity(i);
    }
  }
  for (std::size_t i = start; i < count; ++i) {
    if (points.mz(i) >= low && points.mz(i) <= high) sum += points.intensity(i);
  }
  return sum;
}

#if defined(KARVEL_WIDE_BUCKETS)
bool has_wide_registers() noexcept {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// The test of the bucket walk four points at a time in 256-bit registers,
// on processors that have them: each point's bucket as bucket_of gives it
// (NaN in the first), its low gathered from lows (3 doubles a bucket), and
// hit(bucket, i) for each point at or above it, in rising i: one gather,
// not two, for a few more points tested against the windows of their
// bucket. Returns the first point not taken.
template <class Points, class Hit>
__attribute__((target("avx2"))) std::size_t wide_bucket_pass(const Points& points, std::size_t i, std::size_t end,
                                                              const double* lows, double base,
                                                              double scale, double last, Hit&& hit) {
  const __m256d bases = _mm256_set1_pd(base);
  const __m256d scales = _mm256_set1_pd(scale);
  const __m256d lasts = _mm256_set1_pd(last);
  const __m256d zero = _mm256_setzero_pd();
  const __m256d every = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
  alignas(16) std::uint32_t places[4];
  for (; i + 4 <= end; i += 4) {
    __m256d values;
    if constexpr (requires { points.mz_values; }) {
      values = _mm256_loadu_pd(points.mz_values + i);
    } else {
      values = _mm256_setr_pd(points.mz(i), points.mz(i + 1), points.mz(i + 2), points.mz(i + 3));
    }
    const __m256d place = _mm256_max_pd(_mm256_mul_pd(_mm256_sub_pd(values, bases), scales), zero);
    const __m128i b = _mm256_cvttpd_epi32(_mm256_min_pd(place, lasts));
    const __m128i at = _mm_add_epi32(_mm_add_epi32(b, b), b);
    const __m256d low = _mm256_mask_i32gather_pd(zero, lows, at, every, 8);
    unsigned hits = static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(values, low, _CMP_GE_OQ)));
    if (hits == 0) continue;
    _mm_store_si128(reinterpret_cast<__m128i*>(places), b);
    for (; hits != 0; hits &= hits - 1) {
      const unsigned j = static_cast<unsigned>(std::countr_zero(hits));
      hit(places[j], i + j);
    }
  }
  return i;
}
#endif

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

// Buckets of the lookup, per window: a bucket seldom holds more than one
// window, and a point in a bucket with one window is tested once. Beyond
// kMaxBucketedWindows windows, or kMaxMembersPerBucket listings a bucket
// on average (windows wide beside the buckets), the walk stays.
constexpr std::size_t kBucketsPerWindow = 16;
constexpr std::size_t kMaxBucketedWindows = std::size_t{1} << 22;
constexpr std::size_t kMaxMembersPerBucket = 4;

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
  if (by_low_.size() <= 2 || by_low_.size() > kMaxBucketedWindows || windows_.size() > UINT32_MAX) return;
  highest_high_ = by_low_.front().high;
  for (const Placed& window : by_low_) highest_high_ = std::max(highest_high_, window.high);
  const double span = highest_high_ - by_low_.front().low;
  if (!(span > 0.0) || !std::isfinite(span)) return;
  const std::size_t buckets = kBucketsPerWindow * by_low_.size();
  bucket_scale_ = static_cast<double>(buckets) / span;
  if (!std::isfinite(bucket_scale_)) return;  // a span too narrow to cut
  bucket_base_ = by_low_.front().low;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  buckets_.assign(buckets, Bucket{kInf, -kInf, 0, 0});
  // bucket_of rises with the m/z, so a point within a window falls into a
  // bucket from the window's low one to its high one: listed there.
  std::size_t members = 0;
  for (const Placed& window : by_low_) {
    members += bucket_of(window.high) - bucket_of(window.low) + 1;
    if (members > kMaxMembersPerBucket * buckets) {
      buckets_.clear();
      return;
    }
  }
  for (const Placed& window : by_low_) {
    for (std::size_t b = bucket_of(window.low), last = bucket_of(window.high); b <= last; ++b) {
      Bucket& bucket = buckets_[b];
      ++bucket.count;
      bucket.low = std::min(bucket.low, window.low);
      bucket.high = std::max(bucket.high, window.high);
    }
  }
  std::uint32_t first = 0;
  for (Bucket& bucket : buckets_) {
    bucket.first = first;
    first += bucket.count;
    bucket.count = 0;
  }
  members_.resize(members);
  for (const Placed& window : by_low_) {
    for (std::size_t b = bucket_of(window.low), last = bucket_of(window.high); b <= last; ++b) {
      Bucket& bucket = buckets_[b];
      members_[bucket.first + bucket.count++] = window;
    }
  }
  for (Bucket& bucket : buckets_) {
    if (bucket.count == 1) bucket.first = static_cast<std::uint32_t>(members_[bucket.first].slot);
  }
}

void MzWindows::zero(double* out, std::size_t stride) const noexcept {
  // Every slot is a window's: with stride 1 they are one run.
  if (stride == 1) {
    std::fill_n(out, windows_.size(), 0.0);
    return;
  }
  for (const std::size_t k : empty_) out[k * stride] = 0.0;
  for (const Placed& window : by_low_) out[window.slot * stride] = 0.0;
}

// One walk over the points from begin to end, each tested against its
// bucket's bounds, and most points, which lie in no window, set aside four
// at a time: no walk over the windows between two points, and no order of
// the points assumed (one outside every window fails its bucket's test,
// whichever bucket it falls into).
template <class Points>
void MzWindows::bucket_sums(const Points& points, std::size_t begin, std::size_t end, double* out,
                            std::size_t stride) const noexcept {
  zero(out, stride);
  std::size_t i = begin;
#if defined(KARVEL_WIDE_BUCKETS)
  static_assert(sizeof(Bucket) == 3 * sizeof(double) && offsetof(Bucket, low) == 0);
  if (has_wide_registers()) {
    const double* lows = reinterpret_cast<const double*>(buckets_.data());
    i = wide_bucket_pass(points, i, end, lows, bucket_base_, bucket_scale_,
                         static_cast<double>(buckets_.size() - 1), [&](std::uint32_t bucket, std::size_t k) {
                           add_in_bucket(buckets_[bucket], points.mz(k), points.intensity(k), out, stride);
                         });
  }
#endif
#if defined(__SSE2__)
  // The buckets computed as bucket_of does, NaN in the first one.
  const __m128d base = _mm_set1_pd(bucket_base_);
  const __m128d scale = _mm_set1_pd(bucket_scale_);
  const __m128d last = _mm_set1_pd(static_cast<double>(buckets_.size() - 1));
  const __m128d zero = _mm_setzero_pd();
  const auto inside = [&](__m128d values, std::uint32_t* places) {
    const __m128d place = _mm_max_pd(_mm_mul_pd(_mm_sub_pd(values, base), scale), zero);
    const __m128i b = _mm_cvttpd_epi32(_mm_min_pd(place, last));
    places[0] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(b));
    places[1] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(b, 4)));
    const Bucket& first = buckets_[places[0]];
    const Bucket& second = buckets_[places[1]];
    return _mm_movemask_pd(_mm_and_pd(_mm_cmpge_pd(values, _mm_setr_pd(first.low, second.low)),
                                      _mm_cmple_pd(values, _mm_setr_pd(first.high, second.high))));
  };
  std::uint32_t places[4];
  for (; i + 4 <= end; i += 4) {
    unsigned hits =
        static_cast<unsigned>(inside(points.two(i), places) | (inside(points.two(i + 2), places + 2) << 2));
    for (; hits != 0; hits &= hits - 1) {
      const unsigned j = static_cast<unsigned>(std::countr_zero(hits));
      add_in_bucket(buckets_[places[j]], points.mz(i + j), points.intensity(i + j), out, stride);
    }
  }
#endif
  for (; i < end; ++i) {
    add_in_bucket(buckets_[bucket_of(points.mz(i))], points.mz(i), points.intensity(i), out, stride);
  }
}

bool MzWindows::sums_stored(std::size_t count) const noexcept {
  return by_low_.size() <= 2 || (!buckets_.empty() && count <= kPointsPerWindow * by_low_.size());
}

void MzWindows::sum(const raw::mspeak::StoredPairs& pairs, double* out, std::size_t stride) const noexcept {
  const PairPoints points{pairs};
  if (!buckets_.empty()) {
    bucket_sums(points, 0, pairs.size(), out, stride);
    return;
  }
  for (const std::size_t k : empty_) out[k * stride] = 0.0;
  for (const Placed& window : by_low_) {
    out[window.slot * stride] = linear_sum(points, pairs.size(), window.low, window.high);
  }
}

void MzWindows::sum(std::span<const double> mz, std::span<const float> intensity, double* out,
                    std::size_t stride, bool known_rising) const noexcept {
  const std::size_t count = std::min(mz.size(), intensity.size());
  mz = mz.first(count);
  intensity = intensity.first(count);
  for (const std::size_t k : empty_) out[k * stride] = 0.0;
  if (by_low_.empty()) return;
  const ArrayPoints points{mz.data(), intensity.data()};
  if (!known_rising && !rising(mz)) {
    if (!buckets_.empty() && count <= kPointsPerWindow * by_low_.size()) {
      bucket_sums(points, 0, count, out, stride);
      return;
    }
    for (const Placed& window : by_low_) out[window.slot * stride] = linear_sum(points, count, window.low, window.high);
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
  // Rising m/z and windows about as many as their points: the walk over
  // the points within the windows' span.
  if (!buckets_.empty()) {
    const auto begin = static_cast<std::size_t>(
        std::lower_bound(mz.begin(), mz.end(), by_low_.front().low) - mz.begin());
    const auto end = static_cast<std::size_t>(
        std::upper_bound(mz.begin() + begin, mz.end(), highest_high_) - mz.begin());
    if (end - begin <= kPointsPerWindow * by_low_.size()) {
      bucket_sums(points, begin, end, out, stride);
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
