// Little-endian loads from a byte image. Callers check bounds first; these
// only copy (memcpy, so unaligned positions are fine).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace karvel {

static_assert(std::endian::native == std::endian::little, "karvel reads little-endian files");

template <class T>
inline T load_le(const std::uint8_t* data) noexcept {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

inline std::uint16_t load_u16(const std::uint8_t* p) noexcept { return load_le<std::uint16_t>(p); }
inline std::int16_t load_i16(const std::uint8_t* p) noexcept { return load_le<std::int16_t>(p); }
inline std::uint32_t load_u32(const std::uint8_t* p) noexcept { return load_le<std::uint32_t>(p); }
inline std::int32_t load_i32(const std::uint8_t* p) noexcept { return load_le<std::int32_t>(p); }
inline std::uint64_t load_u64(const std::uint8_t* p) noexcept { return load_le<std::uint64_t>(p); }
inline double load_f64(const std::uint8_t* p) noexcept { return load_le<double>(p); }
inline float load_f32(const std::uint8_t* p) noexcept { return load_le<float>(p); }

}  // namespace karvel
