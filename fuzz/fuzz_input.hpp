// Splits a fuzzer input into leading fixed-width fields and the rest.
// Fields past the end of the input read as zero, so every input is usable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace karvel::fuzz {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::uint8_t u8() { return take<std::uint8_t>(); }
  std::uint32_t u32() { return take<std::uint32_t>(); }

  // Everything not consumed by the fields.
  std::span<const std::uint8_t> rest() const {
    return {data_ + position_, size_ - position_};
  }

 private:
  template <class T>
  T take() {
    T value{};
    const std::size_t n = size_ - position_ < sizeof value ? size_ - position_ : sizeof value;
    if (n != 0) std::memcpy(&value, data_ + position_, n);
    position_ += n;
    return value;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

// Counts and lengths taken from an input: values with the top bit set are
// passed unchanged (they exceed every cap, so they exercise the refusals);
// the others are reduced below limit, so that accepted inputs stay fast.
inline std::uint32_t bounded_count(std::uint32_t raw, std::uint32_t limit) {
  return (raw & 0x80000000u) != 0 ? raw : raw % limit;
}

}  // namespace karvel::fuzz
