#include "raw/msprofile.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "byte_writer.hpp"

namespace karvel::raw::msprofile {
namespace {

using calibration::TofCalibration;
using karvel::testing::Bytes;
using karvel::testing::put;

Bytes axis(double x0, double dx) {
  Bytes out;
  put(out, x0);
  put(out, dx);
  return out;
}

// The stream of a run-length block: marker, stored start, then raw items.
Bytes run_length_stream(std::int32_t stored_start, const Bytes& items = {}) {
  Bytes out;
  put(out, kRunLengthMarker);
  put(out, stored_start);
  out.insert(out.end(), items.begin(), items.end());
  return out;
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// An LZF stream of literal runs only.
Bytes lzf_literals(const Bytes& data) {
  Bytes out;
  for (std::size_t i = 0; i < data.size(); i += 32) {
    std::size_t run = std::min<std::size_t>(32, data.size() - i);
    out.push_back(static_cast<std::uint8_t>(run - 1));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
               data.begin() + static_cast<std::ptrdiff_t>(i + run));
  }
  return out;
}

Bytes int32_values(std::initializer_list<std::int32_t> values) {
  Bytes out;
  for (std::int32_t value : values) put(out, value);
  return out;
}

// m/z = t^2: makes the x axis visible in the output.
TofCalibration square_calibration() {
  return TofCalibration::from_coefficients(std::vector<double>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0,
                                           false)
      .value();
}

msscan::SpectrumParams params(std::uint32_t point_count, std::optional<std::uint32_t> ucb) {
  msscan::SpectrumParams p;
  p.format_id = 1;
  p.point_count = point_count;
  p.uncompressed_byte_count = ucb;
  return p;
}

std::string profile_error(const Bytes& block, const msscan::SpectrumParams& p) {
  auto peaks = decode_profile_block(block, p, square_calibration());
  if (peaks) return "ok";
  EXPECT_EQ(peaks.error().kind(), Error::Kind::Parse);
  return peaks.error().text();
}

std::string run_length_error(const Bytes& stream, std::uint32_t point_count) {
  auto values = decode_run_length(stream, point_count);
  if (values) return "ok";
  EXPECT_EQ(values.error().kind(), Error::Kind::Parse);
  return values.error().text();
}

using Ints = std::vector<std::int64_t>;

TEST(MsProfileRunLength, ItemsAndControlItems) {
  EXPECT_EQ(decode_run_length(run_length_stream(0), 3).value(), (Ints{0, 0, 0}));
  EXPECT_EQ(decode_run_length(run_length_stream(0, int32_values({5, 7})), 3).value(),
            (Ints{5, 7, 0}));
  // -2 (n = 1): 2-byte items, no skip.
  EXPECT_EQ(decode_run_length(run_length_stream(0, concat(int32_values({-2}), {0x34, 0x12, 0xFF, 0x7F})), 3)
                .value(),
            (Ints{0x1234, 0x7FFF, 0}));
  // -1 (n = 0): 1-byte items; a negative 1-byte item is itself a control item.
  EXPECT_EQ(decode_run_length(run_length_stream(0, concat(int32_values({-1}), {9, 0x7F, 0xFB, 3})), 6)
                .value(),
            (Ints{9, 127, 0, 3, 0, 0}));  // 0xFB = -5: skip one, stay at width 1
  // -5 (n = 4): skip one point, then 1-byte items.
  EXPECT_EQ(decode_run_length(run_length_stream(0, concat(int32_values({-5}), {42})), 3)
                .value(),
            (Ints{0, 42, 0}));
  // -4 (n = 3): 8-byte items, beyond 32 bits.
  Bytes wide = int32_values({-4});
  put(wide, std::int64_t{1} << 40);
  put(wide, std::int64_t{-1});  // n = 0 at width 8: back to 1-byte items
  wide.push_back(6);
  EXPECT_EQ(decode_run_length(run_length_stream(0, wide), 3).value(),
            (Ints{std::int64_t{1} << 40, 6, 0}));
  // Skips of many points at once: n = 4 * 1000 + 2 skips 1000, width 4.
  EXPECT_EQ(decode_run_length(run_length_stream(0, int32_values({-4003, 11})), 1002).value()[1000], 11);
  // A stream may end on a control item; the start offset moves the first point.
  EXPECT_EQ(decode_run_length(run_length_stream(-2, int32_values({8, -1})), 4).value(),
            (Ints{0, 0, 8, 0}));
  // Start at the very end is fine while nothing is set.
  EXPECT_EQ(decode_run_length(run_length_stream(-3), 3).value(), (Ints{0, 0, 0}));
  EXPECT_EQ(decode_run_length(run_length_stream(-3, int32_values({-1})), 3).value(), (Ints{0, 0, 0}));
}

TEST(MsProfileRunLength, Errors) {
  EXPECT_EQ(run_length_error(run_length_stream(0), 134217729),
            "run-length profile block of 134217729 points exceeds the size cap");
  EXPECT_EQ(run_length_error(Bytes{0x00, 0xFF, 0x02, 0x90, 0, 0, 0}, 3),
            "run-length profile stream has no marker");
  Bytes wrong_marker = run_length_stream(0);
  wrong_marker[0] = 0x01;
  EXPECT_EQ(run_length_error(wrong_marker, 3), "run-length profile stream has no marker");
  EXPECT_EQ(run_length_error(run_length_stream(1), 3), "run-length profile stream starts at point -1 of 3");
  EXPECT_EQ(run_length_error(run_length_stream(-4), 3), "run-length profile stream starts at point 4 of 3");
  EXPECT_EQ(run_length_error(run_length_stream(std::numeric_limits<std::int32_t>::min()), 3),
            "run-length profile stream starts at point 2147483648 of 3");
  EXPECT_EQ(run_length_error(run_length_stream(-3, int32_values({1})), 3),
            "run-length profile stream sets point 3 of 3");
  EXPECT_EQ(run_length_error(run_length_stream(0, int32_values({1, 2, 3})), 2),
            "run-length profile stream sets point 2 of 2");
  EXPECT_EQ(run_length_error(run_length_stream(0, {1, 0, 0}), 3),
            "run-length profile stream truncated: 3 bytes left at width 4");
  Bytes eight = concat(int32_values({-4}), Bytes(5, 0));
  EXPECT_EQ(run_length_error(run_length_stream(0, eight), 3),
            "run-length profile stream truncated: 5 bytes left at width 8");
  // n = 4 * 3 + 2 skips 3 points from point 1 of 3.
  EXPECT_EQ(run_length_error(run_length_stream(0, int32_values({4, -15})), 3),
            "run-length profile stream skips 3 points from point 1 of 3");
  // The most negative 8-byte item: n = 2^63 - 1.
  Bytes extreme = int32_values({-4});
  put(extreme, std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(run_length_error(run_length_stream(0, extreme), 3),
            "run-length profile stream skips 2305843009213693951 points from point 0 of 3");
}

TEST(MsProfileBlock, ByteCountChecks) {
  EXPECT_EQ(profile_error({}, params(0, std::nullopt)), "Missing UncompressedByteCount for profile block");
  // No points: the block is never looked at.
  auto empty = decode_profile_block(Bytes{0xFF}, params(0, 0), square_calibration());
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->mz.empty());
  EXPECT_TRUE(empty->intensity.empty());
  EXPECT_EQ(profile_error({}, params(10, 55)), "UncompressedByteCount 55 too short for 10 points (needs 56)");
  // 4 * point_count + 16 does not wrap in 32 bits.
  EXPECT_EQ(profile_error({}, params(0xFFFFFFFF, 0xFFFFFFFF)),
            "UncompressedByteCount 4294967295 too short for 4294967295 points (needs 17179869196)");
  Bytes block = concat(axis(1, 1), run_length_stream(0));
  EXPECT_EQ(profile_error(block, params(10, 56)), "ok");
}

TEST(MsProfileBlock, RunLengthBlock) {
  Bytes block = concat(axis(1000, 0.5), run_length_stream(0, int32_values({5, 7})));
  auto peaks = decode_profile_block(block, params(6, 40), square_calibration());
  ASSERT_TRUE(peaks.has_value());
  EXPECT_EQ(peaks->intensity, (std::vector<float>{5, 7, 0, 0, 0, 0}));
  ASSERT_EQ(peaks->mz.size(), 6u);
  EXPECT_EQ(peaks->mz[0], 1000.0 * 1000.0);
  EXPECT_EQ(peaks->mz[4], 1002.0 * 1002.0);

  // A header-only block: every point zero.
  auto zeros = decode_profile_block(concat(axis(3, 1), run_length_stream(0)), params(3, 28),
                                    square_calibration());
  ASSERT_TRUE(zeros.has_value());
  EXPECT_EQ(zeros->intensity, (std::vector<float>{0, 0, 0}));
  EXPECT_EQ(zeros->mz, (std::vector<double>{9, 16, 25}));

  // 20 to 23 bytes: the marker is there but the start value is cut off.
  Bytes short_block = concat(axis(3, 1), run_length_stream(0));
  for (std::size_t size = 20; size < 24; ++size) {
    EXPECT_EQ(profile_error(Bytes(short_block.begin(), short_block.begin() + static_cast<std::ptrdiff_t>(size)),
                            params(3, 28)),
              "run-length profile stream has no marker");
  }
  // Run-length errors are returned as they are.
  EXPECT_EQ(profile_error(concat(axis(3, 1), run_length_stream(5)), params(3, 28)),
            "run-length profile stream starts at point -5 of 3");
}

TEST(MsProfileBlock, IntensitiesRoundToNearestEven) {
  // Integers that binary32 cannot hold round to the nearest, ties to even.
  Bytes items = int32_values({-4});
  for (std::int64_t value : {std::int64_t{16777217}, std::int64_t{16777219}, std::int64_t{16777221},
                             (std::int64_t{1} << 53) + 1, std::int64_t{0x7FFFFF40}, std::int64_t{0x7FFFFFC0}}) {
    put(items, value);
  }
  Bytes block = concat(axis(1, 1), run_length_stream(0, items));
  auto peaks = decode_profile_block(block, params(6, 40), square_calibration());
  ASSERT_TRUE(peaks.has_value());
  EXPECT_EQ(peaks->intensity,
            (std::vector<float>{16777216.0f, 16777220.0f, 16777220.0f, 9007199254740992.0f,
                                2147483392.0f, 2147483648.0f}));

  Bytes data = concat(axis(1, 1), int32_values({16777217, 16777219, -16777221, 0x7FFFFFFF, -1}));
  auto lzf_peaks = decode_profile_block(lzf_literals(data), params(5, 36), square_calibration());
  ASSERT_TRUE(lzf_peaks.has_value());
  EXPECT_EQ(lzf_peaks->intensity,
            (std::vector<float>{16777216.0f, 16777220.0f, -16777220.0f, 2147483648.0f, -1.0f}));

  // Converted eight at a time and then one by one: every count of points
  // gives the same values at every position.
  const std::int32_t cycle[] = {16777217, 16777219, -16777221, 0x7FFFFFFF, -1, 0, 7};
  const float rounded[] = {16777216.0f, 16777220.0f, -16777220.0f, 2147483648.0f, -1.0f, 0.0f, 7.0f};
  for (std::uint32_t count : {7u, 8u, 9u, 15u, 16u, 17u, 64u, 67u}) {
    Bytes points;
    std::vector<float> expected;
    for (std::uint32_t i = 0; i < count; ++i) {
      put(points, cycle[(i * 3) % 7]);
      expected.push_back(rounded[(i * 3) % 7]);
    }
    auto many = decode_profile_block(lzf_literals(concat(axis(1, 1), points)), params(count, 16 + 4 * count),
                                     square_calibration());
    ASSERT_TRUE(many.has_value()) << count;
    EXPECT_EQ(many->intensity, expected) << count << " points";
  }
}

// Lists handed in for reuse, longer or shorter than the block and holding
// stale values, give exactly what fresh lists give, for every block layout
// (run-length; LZF decompressed in the m/z list or through scratch memory).
TEST(MsProfileBlock, ReusedListsGiveTheSameValues) {
  const Bytes values = concat(axis(1000, 0.5), int32_values({1, 2, 3, 4, 5}));
  Bytes padded = values;
  padded.resize(values.size() + 64, 0x55);  // larger than the m/z list: scratch
  struct Case {
    Bytes block;
    std::uint32_t uncompressed;
  };
  const Case cases[] = {{concat(axis(1000, 0.5), run_length_stream(0, int32_values({1, 2, 3, 4, 5}))), 36},
                        {lzf_literals(values), 36},
                        {lzf_literals(padded), static_cast<std::uint32_t>(padded.size())}};
  for (const Case& c : cases) {
    auto fresh = decode_profile_block(c.block, params(5, c.uncompressed), square_calibration());
    ASSERT_TRUE(fresh.has_value());
    for (std::size_t stale : {2u, 5u, 1000u}) {
      Peaks reuse{std::vector<double>(stale, -7.0), std::vector<float>(stale, -7.0f)};
      auto reused = decode_profile_block(c.block, params(5, c.uncompressed), square_calibration(),
                                         std::move(reuse));
      ASSERT_TRUE(reused.has_value());
      EXPECT_EQ(reused->mz, fresh->mz) << stale;
      EXPECT_EQ(reused->intensity, fresh->intensity) << stale;
    }
  }
}

TEST(MsProfileBlock, LzfBlock) {
  Bytes data = concat(axis(1000, 0.5), int32_values({1, 2, 3, 4, 5}));
  data.insert(data.end(), {0xAA, 0xBB, 0xCC});  // ignored trailing bytes
  auto peaks = decode_profile_block(lzf_literals(data), params(5, 39), square_calibration());
  ASSERT_TRUE(peaks.has_value());
  EXPECT_EQ(peaks->intensity, (std::vector<float>{1, 2, 3, 4, 5}));
  EXPECT_EQ(peaks->mz, (std::vector<double>{1000.0 * 1000.0, 1000.5 * 1000.5, 1001.0 * 1001.0,
                                            1001.5 * 1001.5, 1002.0 * 1002.0}));

  // x0 may be negative here; x_i = x0 + i dx in binary64.
  Bytes negative = concat(axis(-5, 0.1), int32_values({0, 0, 0}));
  auto shifted = decode_profile_block(lzf_literals(negative), params(3, 28), square_calibration());
  ASSERT_TRUE(shifted.has_value());
  double x2 = -5 + 2.0 * 0.1;
  EXPECT_EQ(shifted->mz[2], x2 * x2);

  // The marker with x0 of 0 does not make a run-length block: the bytes are
  // taken as an LZF stream, and its error is reported.
  Bytes marked = concat(axis(0, 1), run_length_stream(0));
  EXPECT_EQ(profile_error(marked, params(3, 28)).rfind("LZF: ", 0), 0u);
  Bytes marked_bad_axis = concat(axis(5, 0), run_length_stream(0));
  EXPECT_EQ(profile_error(marked_bad_axis, params(3, 28)).rfind("LZF: ", 0), 0u);

  EXPECT_EQ(profile_error(lzf_literals(data), params(5, 40)), "LZF: decompressed length 39 != expected 40");
}

// The lists hold exactly their points, whatever uncompressed size the scan
// table declares (at least the 16 + 4 point_count bytes the points need).
TEST(MsProfileBlock, LzfListsKeepNoMoreThanTheirPoints) {
  const struct {
    std::uint32_t points;
    std::size_t extra_bytes;  // declared beyond 16 + 4 points
  } cases[] = {{1, 0}, {3, 0}, {4, 0}, {1000, 0}, {1000, 3}, {1000, 4000}, {1000, 4017},
               {1, 32 << 20}, {5, 17 << 20}, {2, 1 << 20}};
  for (int round = 0; round < 2; ++round) {  // the second round reuses scratch memory
    for (const auto& c : cases) {
      Bytes data = axis(100, 0.25);
      for (std::uint32_t i = 0; i < c.points; ++i) put(data, static_cast<std::int32_t>(i * 7 + 1));
      data.resize(data.size() + c.extra_bytes, 0x5A);
      const auto declared = static_cast<std::uint32_t>(data.size());
      auto peaks = decode_profile_block(lzf_literals(data), params(c.points, declared),
                                        square_calibration());
      ASSERT_TRUE(peaks.has_value()) << c.points << " points, " << declared << " bytes";
      EXPECT_EQ(peaks->intensity.size(), c.points);
      EXPECT_EQ(peaks->intensity.capacity(), c.points) << declared << " bytes";
      EXPECT_EQ(peaks->mz.capacity(), c.points) << declared << " bytes";
      const std::uint32_t last = c.points - 1;
      EXPECT_EQ(peaks->intensity[last], static_cast<float>(last * 7 + 1));
      const double x_last = 100 + last * 0.25;
      EXPECT_EQ(peaks->mz[last], x_last * x_last);
    }
  }
}

TEST(MsProfileBlock, EveryPointUsesTheCalibration) {
  // Enough points for several conversion blocks and a partial last one, with
  // a polynomial whose range clamps both ends of the axis.
  const auto calibration = TofCalibration::from_coefficients(
      std::vector<double>{3.5e-4, 12.5, 20100, 21400, 0.25, -1e-5, 3e-12, 2e-40, 0, 0}, 0b110011,
      false);
  ASSERT_TRUE(calibration.has_value());
  const std::uint32_t count = 3001;
  Bytes block = concat(axis(20000.25, 0.5), run_length_stream(0, int32_values({-4001, 9})));
  auto peaks = decode_profile_block(block, params(count, 4 * count + 16), *calibration);
  ASSERT_TRUE(peaks.has_value());
  ASSERT_EQ(peaks->mz.size(), count);
  ASSERT_EQ(peaks->intensity.size(), count);
  EXPECT_EQ(peaks->intensity[1000], 9);
  for (std::uint32_t i = 0; i < count; ++i) {
    ASSERT_EQ(peaks->mz[i], calibration->mz(20000.25 + static_cast<double>(i) * 0.5)) << i;
  }
  EXPECT_EQ(peaks->mz_rising, rising(peaks->mz));
}

TEST(MsProfileBlock, InvalidLzfAxis) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  auto axis_error = [](double x0, double dx) {
    return profile_error(lzf_literals(concat(axis(x0, dx), int32_values({1}))), params(1, 20));
  };
  EXPECT_EQ(axis_error(1000, 0), "invalid profile axis: x0=1000, dx=0");
  EXPECT_EQ(axis_error(1000, -0.0), "invalid profile axis: x0=1000, dx=-0");
  EXPECT_EQ(axis_error(0.5, -0.5), "invalid profile axis: x0=0.5, dx=-0.5");
  EXPECT_EQ(axis_error(nan, 1), "invalid profile axis: x0=NaN, dx=1");
  EXPECT_EQ(axis_error(-inf, 1), "invalid profile axis: x0=-inf, dx=1");
  EXPECT_EQ(axis_error(1, inf), "invalid profile axis: x0=1, dx=inf");
  EXPECT_EQ(axis_error(1e20, nan), "invalid profile axis: x0=100000000000000000000, dx=NaN");
  EXPECT_EQ(axis_error(1e23, 0), "invalid profile axis: x0=100000000000000000000000, dx=0");
  EXPECT_EQ(axis_error(0x1p70, 0), "invalid profile axis: x0=1180591620717411300000, dx=0");
  EXPECT_EQ(axis_error(-0x1p60, -1e-5),
            "invalid profile axis: x0=-1152921504606847000, dx=-0.00001");
  // The smallest positive subnormal step is valid.
  EXPECT_EQ(axis_error(0, std::numeric_limits<double>::denorm_min()), "ok");
}

}  // namespace
}  // namespace karvel::raw::msprofile
