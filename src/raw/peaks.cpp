#include "raw/peaks.hpp"

#include <algorithm>
#include <cstddef>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace karvel::raw {

bool rising(std::span<const double> mz) noexcept {
  if (mz.size() == 1) return mz[0] == mz[0];
  // Blocks without an early exit inside, each pair of neighbours compared
  // in one wide comparison (!(a <= b) holds for a fall and for NaN).
  constexpr std::size_t kRisingBlock = 256;
  std::size_t i = 1;
#if defined(__SSE2__)
  const double* values = mz.data();
  while (i + kRisingBlock <= mz.size()) {
    __m128d falls = _mm_setzero_pd();
    for (const std::size_t end = i + kRisingBlock; i < end; i += 2) {
      falls = _mm_or_pd(falls, _mm_cmpnle_pd(_mm_loadu_pd(values + i - 1), _mm_loadu_pd(values + i)));
    }
    if (_mm_movemask_pd(falls) != 0) return false;
  }
#endif
  for (; i < mz.size(); i += kRisingBlock) {
    const std::size_t end = std::min(mz.size(), i + kRisingBlock);
    unsigned falls = 0;
    for (std::size_t k = i; k < end; ++k) falls |= static_cast<unsigned>(!(mz[k - 1] <= mz[k]));
    if (falls != 0) return false;
  }
  return true;
}

}  // namespace karvel::raw
