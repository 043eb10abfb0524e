#include "centroid/candidates.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace karvel::centroid::detail {

// The lowest signal met since the previous maximum and its last position
// (ties move it on).
struct Valley {
  float value = std::numeric_limits<float>::infinity();
  std::size_t at = 0;

  void pass(float signal_value, std::size_t i) noexcept {
    if (signal_value <= value) {
      value = signal_value;
      at = i;
    }
  }
};

// Points are passed over in blocks of kBlock: a block none of whose points
// reaches the floor holds no maximum, and only its lowest signal matters.
constexpr std::size_t kBlock = 8;  // as eight_zeros

// Four floats in a vector register (SSE on x86-64, NEON on arm64) through
// the compiler's vector extension, and their comparison masks.
using Float4 = float __attribute__((vector_size(16)));
using Mask4 = std::int32_t __attribute__((vector_size(16)));

// The lowest signal (signal_float) of the kBlock points at data, or -1 when
// any of them reaches floor (which NaN never does): a lane that reaches
// the floor counts as -1, below every signal, so that one reduction across
// the lanes answers both.
inline float block_lowest(const float* data, float floor) noexcept {
  static_assert(kBlock % 4 == 0);
  const Float4 floors = {floor, floor, floor, floor};
  const Float4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
  const Float4 below_all = {-1.0f, -1.0f, -1.0f, -1.0f};
  Float4 low = {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(),
                std::numeric_limits<float>::max(), std::numeric_limits<float>::max()};
  for (std::size_t k = 0; k < kBlock; k += 4) {
    Float4 values;
    std::memcpy(&values, data + k, sizeof values);
    // Under the floor, a value that is not positive (NaN, negative, -inf)
    // is zero: +0.0 is all bits zero; +inf reaches the floor.
    const Float4 signal_values = reinterpret_cast<Float4>(reinterpret_cast<Mask4>(values) & (values > zero));
    const Float4 lane = values >= floors ? below_all : signal_values;
    low = lane < low ? lane : low;
  }
  const Float4 swapped = __builtin_shufflevector(low, low, 2, 3, 0, 1);
  low = swapped < low ? swapped : low;
  const Float4 turned = __builtin_shufflevector(low, low, 1, 0, 3, 2);
  low = turned < low ? turned : low;
  return low[0];
}

// Every maximum of the profile at least `threshold` high (every positive
// one for threshold 0), in position order, into out, each with the lowest
// point between it and the one before (0 at point 0 for the first). One
// pass: points under the threshold are passed over a block at a time, and
// the lowest point since the previous maximum is kept on the way.
void find_candidates(std::span<const float> intensity, double threshold, std::vector<Candidate>& out) {
  out.clear();
  const std::size_t n = intensity.size();
  const float* const data = intensity.data();
  // The smallest float at least threshold, and above 0.
  float floor_value = static_cast<float>(threshold);
  if (static_cast<double>(floor_value) < threshold) floor_value = std::nextafter(floor_value, 1.0f / 0.0f);
  floor_value = std::max(floor_value, std::numeric_limits<float>::denorm_min());
  Valley valley;  // since the previous maximum
  bool any = false;
  std::size_t i = 0;
  while (i < n) {
    // signal_float maps NaN, infinities and negatives to 0, under the floor.
    bool found = false;
    while (!found && i < n) {
      if (data[i] == 0.0f && i + kBlock <= n && eight_zeros(data + i)) {
        valley = {0.0f, i + kBlock - 1};  // zero runs: the bulk of many profiles
        i += kBlock;
        continue;
      }
      const float lowest = i + kBlock <= n ? block_lowest(data + i, floor_value) : -1.0f;
      if (lowest >= 0.0f) {
        if (lowest <= valley.value) {
          std::size_t k = kBlock - 1;
          while (signal_float(data[i + k]) != lowest) --k;
          valley = {lowest, i + k};
        }
        i += kBlock;
        continue;
      }
      // A block that reaches the floor (or the last points): one at a time.
      for (const std::size_t stop = std::min(n, i + kBlock); i < stop; ++i) {
        const float value = signal_float(data[i]);
        if (value >= floor_value) {
          found = true;
          break;
        }
        valley.pass(value, i);
      }
    }
    if (!found) break;
    const float value = signal_float(data[i]);
    const float before = i > 0 ? signal_float(data[i - 1]) : 0.0f;
    if (value <= before) {
      valley.pass(value, i++);
      continue;
    }
    // A rise to value at i: extend over the equal points that follow.
    std::size_t last = i;
    while (last + 1 < n && signal_float(data[last + 1]) == value) ++last;
    const float next = last + 1 < n ? signal_float(data[last + 1]) : 0.0f;
    if (next < value) {
      const Valley before_this = any ? valley : Valley{0.0f, 0};
      out.push_back({i, last, value, before_this.value, before_this.at});
      valley = Valley{};
      any = true;
    } else {
      for (std::size_t k = i; k <= last; ++k) valley.pass(value, k);
    }
    i = last + 1;
  }
}

// Keeps the maxima that can be reported: at least `threshold` high and,
// unless keep_spikes, not single-point spikes (maxima of one point whose
// neighbours both lie below kSpikeFraction of it: a sampled peak has at
// least two points well above that). The valley before a dropped maximum
// carries over to the next, so valleys stay the lowest point between the
// kept ones.
void keep_reportable(std::span<const float> intensity, std::vector<Candidate>& candidates, double threshold,
                     bool keep_spikes) {
  const std::size_t n = intensity.size();
  std::size_t kept = 0;
  double carried = std::numeric_limits<double>::infinity();
  std::size_t carried_at = 0;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    const Candidate& current = candidates[k];
    if (current.valley_before < carried) {
      carried = current.valley_before;
      carried_at = current.valley_at;
    }
    if (current.value < threshold) continue;
    if (!keep_spikes && current.first == current.last) {
      const double before = current.first > 0 ? signal(intensity[current.first - 1]) : 0.0;
      const double after = current.last + 1 < n ? signal(intensity[current.last + 1]) : 0.0;
      if (std::max(before, after) < kSpikeFraction * current.value) continue;
    }
    candidates[kept] = current;
    candidates[kept].valley_before = carried;
    candidates[kept].valley_at = carried_at;
    ++kept;
    carried = std::numeric_limits<double>::infinity();
  }
  candidates.resize(kept);
}

// True when the maximum `lower`, separated from the higher `higher` by the
// lowest value `valley`, is a ripple on it: it falls short of the valley by
// less than the noise allows. Within the upper half of the higher maximum
// (on its top) that is the allowance at the valley's level; lower down (a
// peak on the other's tail) the baseline's, so minor neighbours stay. A
// zero between them always separates them.
inline bool is_ripple(double lower, double higher, double valley, const Allowance& allowance) {
  if (valley == 0.0) return false;
  const double allowed = valley >= 0.5 * higher ? allowance.at(valley) : allowance.at(0.0);
  return lower - valley < allowed;
}

// Drops the maxima that are ripples on a higher one's top (is_ripple) on the
// way to it. Runs over the maxima once with a stack of the kept ones.
void drop_ripples(std::vector<Candidate>& candidates, const Allowance& allowance) {
  std::size_t kept = 0;  // candidates[0, kept) is the stack
  double carried = std::numeric_limits<double>::infinity();  // valley over dropped ones
  std::size_t carried_at = 0;
  for (std::size_t k = 0; k < candidates.size(); ++k) {
    Candidate current = candidates[k];
    if (carried < current.valley_before) {
      current.valley_before = carried;
      current.valley_at = carried_at;
    }
    carried = std::numeric_limits<double>::infinity();
    bool dropped = false;
    while (kept > 0) {
      const Candidate& top = candidates[kept - 1];
      if (!is_ripple(std::min(top.value, current.value), std::max(top.value, current.value),
                     current.valley_before, allowance)) {
        break;
      }
      if (top.value >= current.value) {
        carried = current.valley_before;  // the next one's valley reaches back to top
        carried_at = current.valley_at;
        dropped = true;
        break;
      }
      if (top.valley_before < current.valley_before) {
        current.valley_before = top.valley_before;
        current.valley_at = top.valley_at;
      }
      --kept;
    }
    if (!dropped) candidates[kept++] = current;
  }
  candidates.resize(kept);
}

}  // namespace karvel::centroid::detail
