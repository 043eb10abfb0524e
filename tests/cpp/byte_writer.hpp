// Appends little-endian values to a byte image under construction.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace karvel::testing {

using Bytes = std::vector<std::uint8_t>;

template <class T>
void put(Bytes& out, T value) {
  std::uint8_t bytes[sizeof(T)];
  std::memcpy(bytes, &value, sizeof(T));
  out.insert(out.end(), bytes, bytes + sizeof(T));
}

}  // namespace karvel::testing
