#include "raw/mspeak.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "byte_writer.hpp"

namespace karvel::raw::mspeak {
namespace {

using calibration::TofCalibration;
using karvel::testing::Bytes;
using karvel::testing::put;

// m/z = (2 (t - 1))^2 - 3: neither the identity nor a plain square.
TofCalibration test_calibration() {
  return TofCalibration::from_coefficients(std::vector<double>{2, 1, 0, 1e9, 3, 0, 0, 0, 0, 0}, 1,
                                           false)
      .value();
}

msscan::SpectrumParams params(std::uint32_t format_id, std::uint32_t point_count) {
  msscan::SpectrumParams p;
  p.format_id = format_id;
  p.point_count = point_count;
  return p;
}

std::string error_of(const Bytes& block, const msscan::SpectrumParams& p,
                     const TofCalibration* calibration) {
  auto peaks = decode_peak_block(block, p, calibration);
  if (peaks) return "ok";
  EXPECT_EQ(peaks.error().kind(), Error::Kind::Parse);
  return peaks.error().text();
}

std::uint32_t float_bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, 4);
  return bits;
}

TEST(MsPeak, ChecksInOrder) {
  const TofCalibration calibration = test_calibration();
  EXPECT_EQ(error_of(Bytes(100), params(1, 1), &calibration), "Unknown peak format ID: 1");
  EXPECT_EQ(error_of(Bytes(100), params(4, 1), &calibration), "Unknown peak format ID: 4");
  EXPECT_EQ(error_of(Bytes(100), params(4294967295u, 1), nullptr), "Unknown peak format ID: 4294967295");
  EXPECT_EQ(error_of(Bytes(23), params(3, 2), nullptr), "Truncated MSPeak.bin block");
  // A truncated format-2 block without calibration reports the truncation.
  EXPECT_EQ(error_of(Bytes(23), params(2, 2), nullptr), "Truncated MSPeak.bin block");
  EXPECT_EQ(error_of(Bytes(24), params(2, 2), nullptr), "Q-TOF centroid block has no mass calibration");
  EXPECT_EQ(error_of(Bytes{}, params(2, 0), nullptr), "Q-TOF centroid block has no mass calibration");
  // 12 x point_count does not wrap in 32 bits.
  EXPECT_EQ(error_of(Bytes(100), params(3, 0x80000000u), nullptr), "Truncated MSPeak.bin block");
}

TEST(MsPeak, EmptyBlocks) {
  const TofCalibration calibration = test_calibration();
  for (const TofCalibration* given : {static_cast<const TofCalibration*>(nullptr), &calibration}) {
    auto peaks = decode_peak_block(Bytes{1, 2, 3}, params(3, 0), given);
    ASSERT_TRUE(peaks.has_value());
    EXPECT_TRUE(peaks->mz.empty());
    EXPECT_TRUE(peaks->intensity.empty());
  }
  auto peaks = decode_peak_block(Bytes{}, params(2, 0), &calibration);
  ASSERT_TRUE(peaks.has_value());
  EXPECT_TRUE(peaks->mz.empty());
}

// Arrays handed in for reuse (longer, shorter or empty) give the points
// a fresh decoding gives, in both formats.
TEST(MsPeak, ReusedArraysHoldOnlyTheNewPoints) {
  const TofCalibration calibration = test_calibration();
  Bytes interleaved;
  for (double mz : {100.5, 200.25}) {
    put(interleaved, mz);
    put(interleaved, static_cast<float>(mz / 2));
  }
  Bytes flight;
  for (double time : {11.0, 21.0}) put(flight, time);
  for (float value : {1.5f, 2.5f}) put(flight, value);
  for (const auto& [block, format] : {std::pair{interleaved, 3u}, std::pair{flight, 2u}}) {
    for (std::uint32_t count : {0u, 1u, 2u}) {
      const auto fresh = decode_peak_block(block, params(format, count), &calibration);
      ASSERT_TRUE(fresh.has_value());
      for (std::size_t previous : {0u, 1u, 5u}) {
        Peaks reuse{std::vector<double>(previous, -1.0), std::vector<float>(previous, -1.0f)};
        const auto again = decode_peak_block(block, params(format, count), &calibration, std::move(reuse));
        ASSERT_TRUE(again.has_value());
        EXPECT_EQ(again->mz, fresh->mz) << format << " " << count << " " << previous;
        EXPECT_EQ(again->intensity, fresh->intensity) << format << " " << count << " " << previous;
      }
    }
  }
}

TEST(MsPeak, InterleavedFormatStoresMz) {
  const TofCalibration calibration = test_calibration();
  Bytes block;
  put(block, 500.25);
  put(block, 1234.5f);
  auto single = decode_peak_block(block, params(3, 1), &calibration);  // calibration unused
  ASSERT_TRUE(single.has_value());
  EXPECT_EQ(single->mz, std::vector<double>{500.25});
  EXPECT_EQ(single->intensity, std::vector<float>{1234.5f});

  // Negative and NaN intensities pass bit for bit; trailing bytes are ignored.
  const float signalling = std::numeric_limits<float>::signaling_NaN();
  put(block, 100.0);
  put(block, -3.5f);
  put(block, -7.0);
  put(block, signalling);
  block.insert(block.end(), 6, 0xEE);
  auto peaks = decode_peak_block(block, params(3, 3), nullptr);
  ASSERT_TRUE(peaks.has_value());
  EXPECT_EQ(peaks->mz, (std::vector<double>{500.25, 100.0, -7.0}));
  ASSERT_EQ(peaks->intensity.size(), 3u);
  EXPECT_EQ(peaks->intensity[1], -3.5f);
  EXPECT_EQ(float_bits(peaks->intensity[2]), float_bits(signalling));
}

TEST(MsPeak, FlightTimeFormatIsCalibrated) {
  const TofCalibration calibration = test_calibration();
  Bytes block;
  put(block, 11.0);
  put(block, 21.0);
  put(block, 7.5f);   // bytes 16 to 19
  put(block, -0.0f);  // bytes 20 to 23
  put(block, 99.0);   // ignored
  auto peaks = decode_peak_block(block, params(2, 2), &calibration);
  ASSERT_TRUE(peaks.has_value());
  EXPECT_EQ(peaks->mz, (std::vector<double>{calibration.mz(11.0), calibration.mz(21.0)}));
  EXPECT_EQ(peaks->mz[0], 397.0);  // (2 * 10)^2 - 3
  ASSERT_EQ(peaks->intensity.size(), 2u);
  EXPECT_EQ(peaks->intensity[0], 7.5f);
  EXPECT_EQ(float_bits(peaks->intensity[1]), float_bits(-0.0f));
}

TEST(MsPeak, ManyFlightTimesMatchPointwiseConversion) {
  const auto calibration = TofCalibration::from_coefficients(
      std::vector<double>{3.5e-4, 12.5, 100, 5000, 0.25, -1e-5, 3e-12, 0, 0, 0}, 0b10011, false);
  ASSERT_TRUE(calibration.has_value());
  const std::uint32_t count = 2500;
  Bytes block;
  for (std::uint32_t k = 0; k < count; ++k) put(block, 50.0 + 2.125 * k);
  for (std::uint32_t k = 0; k < count; ++k) put(block, static_cast<float>(k));
  auto peaks = decode_peak_block(block, params(2, count), &*calibration);
  ASSERT_TRUE(peaks.has_value());
  ASSERT_EQ(peaks->mz.size(), count);
  for (std::uint32_t k = 0; k < count; ++k) {
    ASSERT_EQ(peaks->mz[k], calibration->mz(50.0 + 2.125 * k)) << k;
    ASSERT_EQ(peaks->intensity[k], static_cast<float>(k)) << k;
  }
}

// The order a decoder reports is the order of what it wrote, whatever the
// arrays it reused said: blocks of both formats, longer than a conversion
// chunk, rising or with a tie, a fall or a NaN at a chunk's edge or inside.
TEST(MsPeak, ReportedOrderIsTheDecodedOrder) {
  const TofCalibration calibration = test_calibration();  // rises for flight times above 1
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::uint32_t count = 2100;
  for (const std::uint32_t format : {2u, 3u}) {
    for (const std::size_t at : {std::size_t{0}, std::size_t{1023}, std::size_t{1024}, std::size_t{2099}}) {
      for (const double change : {0.0, -1.0, -0.5, nan}) {  // none, a fall, a tie, NaN
        std::vector<double> stored(count);
        for (std::uint32_t k = 0; k < count; ++k) stored[k] = 2.0 + k;
        if (std::isnan(change)) stored[at] = nan;
        if (change == -1.0) stored[at] = at == 0 ? 1e9 : stored[at - 1] - 0.5;
        if (change == -0.5) stored[at] = at == 0 ? stored[1] : stored[at - 1];
        Bytes block;
        for (std::uint32_t k = 0; k < count; ++k) {
          put(block, stored[k]);
          if (format == 3) put(block, 1.0f);
        }
        if (format == 2) block.resize(block.size() + 4 * count, 0);
        Peaks reuse{{}, {}, true};
        const auto peaks = decode_peak_block(block, params(format, count), &calibration, std::move(reuse));
        ASSERT_TRUE(peaks.has_value());
        EXPECT_EQ(peaks->mz_rising, rising(peaks->mz)) << format << " " << at << " " << change;
        EXPECT_EQ(peaks->mz_rising, change == 0.0 || change == -0.5) << format << " " << at << " " << change;
      }
    }
  }
}

}  // namespace
}  // namespace karvel::raw::mspeak
