// Builds MSScan.bin images for tests: a header of the given size followed by
// zeroed records into which tests poke the fields they need.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace karvel::testing {

class ScanTableBuilder {
 public:
  ScanTableBuilder(std::uint32_t stride, std::size_t records, std::uint32_t header_size = 92)
      : stride_(stride), header_size_(header_size), bytes_(header_size + stride * records, 0) {
    put<std::uint32_t>(0, 257);
    put<std::uint32_t>(88, header_size);
    for (std::size_t i = 0; i < records; ++i) {
      record<std::uint32_t>(i, 0, static_cast<std::uint32_t>(100 + i));
      record<std::uint16_t>(i, 20, 1);
    }
  }

  template <class T>
  ScanTableBuilder& put(std::size_t offset, T value) {
    std::memcpy(bytes_.data() + offset, &value, sizeof value);
    return *this;
  }

  template <class T>
  ScanTableBuilder& record(std::size_t index, std::size_t offset, T value) {
    return put(header_size_ + index * stride_ + offset, value);
  }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::uint32_t stride_;
  std::uint32_t header_size_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace karvel::testing
