#include "raw/msmasscal.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

namespace karvel::raw::msmasscal {
namespace {

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) bytes[offset + k] = static_cast<std::uint8_t>(value >> (8 * k));
}

void put_f64(std::vector<std::uint8_t>& bytes, std::size_t offset, double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  for (int k = 0; k < 8; ++k) bytes[offset + k] = static_cast<std::uint8_t>(bits >> (8 * k));
}

// A file with one record per count; every coefficient slot j of record i holds
// 100 i + j + 0.5 and the header is filled with junk.
std::vector<std::uint8_t> file_with(std::vector<std::uint32_t> counts) {
  std::vector<std::uint8_t> bytes(kHeaderSize + counts.size() * kRecordSize, 0xA5);
  for (std::size_t i = 0; i < counts.size(); ++i) {
    const std::size_t start = kHeaderSize + i * kRecordSize;
    put_u32(bytes, start, counts[i]);
    for (std::size_t j = 0; j < 10; ++j) put_f64(bytes, start + 4 + 8 * j, 100.0 * i + j + 0.5);
  }
  return bytes;
}

std::string parse_message(const std::vector<std::uint8_t>& bytes) {
  auto parsed = parse_bytes(bytes);
  EXPECT_FALSE(parsed);
  return parsed ? std::string() : parsed.error().display();
}

TEST(MsMassCal, LengthChecks) {
  EXPECT_EQ(parse_message(std::vector<std::uint8_t>(71)),
            "parse error: MSMassCal.bin is 71 bytes, shorter than its 72-byte header");
  EXPECT_EQ(parse_message({}),
            "parse error: MSMassCal.bin is 0 bytes, shorter than its 72-byte header");
  EXPECT_EQ(parse_message(std::vector<std::uint8_t>(100)),
            "parse error: MSMassCal.bin payload of 28 bytes is not a multiple of the 84-byte record");
  // A whole record plus one byte.
  EXPECT_EQ(parse_message(std::vector<std::uint8_t>(72 + 84 + 1)),
            "parse error: MSMassCal.bin payload of 85 bytes is not a multiple of the 84-byte record");

  auto empty = parse_bytes(std::vector<std::uint8_t>(72, 0xFF));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

TEST(MsMassCal, CoefficientCounts) {
  auto none = parse_bytes(file_with({0}));
  ASSERT_TRUE(none);
  ASSERT_EQ(none->size(), 1u);
  EXPECT_TRUE((*none)[0].coefficients.empty());

  // Ten coefficients fill the record to its last byte (file offsets 76 to 155).
  auto full = parse_bytes(file_with({10}));
  ASSERT_TRUE(full);
  EXPECT_EQ((*full)[0].coefficients,
            (std::vector<double>{0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5, 8.5, 9.5}));

  EXPECT_EQ(parse_message(file_with({11})),
            "parse error: MSMassCal.bin record 0 claims 11 coefficients; at most 10 fit");
  EXPECT_EQ(parse_message(file_with({0xFFFFFFFF})),
            "parse error: MSMassCal.bin record 0 claims 4294967295 coefficients; at most 10 fit");
}

TEST(MsMassCal, OnlyCountedSlotsAreRead) {
  auto bytes = file_with({2, 3});
  // Slots beyond the count may hold anything, even NaN bit patterns.
  for (std::size_t offset = 72 + 4 + 16; offset < 72 + 84; ++offset) bytes[offset] = 0xFF;
  auto parsed = parse_bytes(bytes);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->size(), 2u);
  EXPECT_EQ((*parsed)[0].coefficients, (std::vector<double>{0.5, 1.5}));
  EXPECT_EQ((*parsed)[1].coefficients, (std::vector<double>{100.5, 101.5, 102.5}));
  EXPECT_EQ((*parsed)[0].coefficients.capacity(), 2u);
}

TEST(MsMassCal, FirstBadRecordFailsTheWholeFile) {
  EXPECT_EQ(parse_message(file_with({10, 4, 12})),
            "parse error: MSMassCal.bin record 2 claims 12 coefficients; at most 10 fit");
  EXPECT_EQ(parse_message(file_with({1, 11, 12})),
            "parse error: MSMassCal.bin record 1 claims 11 coefficients; at most 10 fit");
}

}  // namespace
}  // namespace karvel::raw::msmasscal
