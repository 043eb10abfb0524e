// MSMassCal.bin: a 72-byte header, then one 84-byte coefficient record per
// scan (a count of at most 10, then the coefficients).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/error.hpp"

namespace karvel::raw::msmasscal {

inline constexpr std::size_t kHeaderSize = 72;
inline constexpr std::size_t kRecordSize = 84;
inline constexpr std::uint32_t kMaxCoefficients = 10;

struct MassCalRecord {
  std::vector<double> coefficients;
};

Result<std::vector<MassCalRecord>> parse_bytes(std::span<const std::uint8_t> bytes);

}  // namespace karvel::raw::msmasscal
