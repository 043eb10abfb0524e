// A decoded spectrum: equal-length m/z and intensity lists in stored order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace karvel::raw {

struct Peaks {
  std::vector<double> mz;
  std::vector<float> intensity;
  // Set by the decoder that wrote mz, which looks at the order as it writes:
  // true when every m/z is at most the next (none NaN). False when it is not
  // so or the producer did not look; it describes the decoder's output, not
  // arrays changed afterwards.
  bool mz_rising = false;
};

// True when every value is at most the next (none NaN).
bool rising(std::span<const double> values) noexcept;

// Whether values[first, first + count) rise on from the value before them:
// a decoder that writes m/z a chunk at a time checks each chunk while it is
// at hand.
inline bool rises_on(const double* values, std::size_t first, std::size_t count) noexcept {
  const std::size_t from = first == 0 ? 0 : first - 1;
  return rising(std::span<const double>(values + from, first + count - from));
}

}  // namespace karvel::raw
