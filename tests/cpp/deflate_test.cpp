#include "export/deflate.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

namespace karvel::exporter {
namespace {

std::vector<std::uint8_t> inflate_all(std::span<const std::uint8_t> compressed, std::size_t size) {
  std::vector<std::uint8_t> out(size + 1);
  uLongf length = static_cast<uLongf>(out.size());
  EXPECT_EQ(uncompress(out.data(), &length, compressed.data(), static_cast<uLong>(compressed.size())), Z_OK);
  out.resize(length);
  return out;
}

// One deflater reused for inputs of every kind: empty, repetitive (the
// shape of profile intensities), random (incompressible) and large.
TEST(Deflater, RoundTripsThroughZlibAndIsReusable) {
  auto deflater = Deflater::create();
  ASSERT_TRUE(deflater);
  std::mt19937 random(7);
  std::vector<std::vector<std::uint8_t>> inputs;
  inputs.emplace_back();
  inputs.emplace_back(100000, std::uint8_t{0});
  std::vector<std::uint8_t> noise(70000);
  for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
  inputs.push_back(noise);
  std::vector<std::uint8_t> ramp(3 << 20);
  for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<std::uint8_t>((i / 8) % 251);
  inputs.push_back(ramp);
  inputs.emplace_back(1, std::uint8_t{42});
  for (const auto& input : inputs) {
    auto compressed = deflater->compress(input);
    ASSERT_TRUE(compressed);
    ASSERT_GE(compressed->size(), 8u);  // a zlib header and trailer at least
    EXPECT_EQ(inflate_all(*compressed, input.size()), input) << input.size();
  }
}

}  // namespace
}  // namespace karvel::exporter
