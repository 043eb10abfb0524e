#include "export/numpress.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace karvel::exporter::numpress {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct NibbleCase {
  std::int32_t value;
  std::vector<std::uint8_t> nibbles;
};

TEST(NumpressNibbles, HeadCountsLeadingNibblesThenTheRestLeastSignificantFirst) {
  const NibbleCase cases[] = {
      {0, {8}},
      {-1, {15, 15}},
      {23, {6, 7, 1}},
      {1, {7, 1}},
      {-16, {15, 0}},
      {0x0f000000, {1, 0, 0, 0, 0, 0, 0, 15}},
      {std::numeric_limits<std::int32_t>::max(), {0, 15, 15, 15, 15, 15, 15, 15, 7}},
      {std::numeric_limits<std::int32_t>::min(), {0, 0, 0, 0, 0, 0, 0, 0, 8}},
      {static_cast<std::int32_t>(0xf0000000u), {9, 0, 0, 0, 0, 0, 0, 0}},
      {static_cast<std::int32_t>(0xffffff0fu), {14, 15, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::vector<std::uint8_t> nibbles;
    append_int_nibbles(c.value, nibbles);
    EXPECT_EQ(nibbles, c.nibbles);
  }
}

struct LayoutCase {
  const char* name;
  Bytes bytes;
  std::vector<double> values;
};

// f = 2 as a big-endian double.
const Bytes kScale2 = {0x40, 0, 0, 0, 0, 0, 0, 0};

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(NumpressLinear, ByteLayout) {
  const LayoutCase cases[] = {
      {"no values", kScale2, {}},
      {"one value", concat(kScale2, {200, 0, 0, 0}), {100.0}},
      {"two values", concat(kScale2, {200, 0, 0, 0, 201, 0, 0, 0}), {100.0, 100.5}},
      // 202 is predicted exactly: residual 0, head 8 and a padding nibble.
      {"exact prediction", concat(kScale2, {200, 0, 0, 0, 201, 0, 0, 0, 0x80}), {100.0, 100.5, 101.0}},
      // Residuals +1 (head 7, nibble 1) and -1 (head 15, nibble 15).
      {"residuals", concat(kScale2, {200, 0, 0, 0, 201, 0, 0, 0, 0x71, 0xff}),
       {100.0, 100.5, 101.5, 102.0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes out;
    ASSERT_TRUE(encode_linear(c.values, 2.0, out).has_value());
    EXPECT_EQ(out, c.bytes);
    auto decoded = decode_linear(out);
    ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
    EXPECT_EQ(*decoded, c.values);
  }
}

TEST(NumpressSlof, ByteLayout) {
  // ln(1) * 2 = 0; ln(e) * 2 + 0.5 = 2.5 -> 2; ln(e^2) * 2 + 0.5 -> 4.
  Bytes out;
  ASSERT_TRUE(encode_slof(std::vector<double>{0, std::exp(1.0) - 1, std::exp(2.0) - 1}, 2.0, out).has_value());
  EXPECT_EQ(out, concat(kScale2, {0, 0, 2, 0, 4, 0}));
  Bytes empty;
  ASSERT_TRUE(encode_slof({}, 2.0, empty).has_value());
  EXPECT_EQ(empty, kScale2);
}

TEST(NumpressPic, ByteLayout) {
  // 0 -> 8; 23 -> 6 7 1; 1 -> 7 1; 2.4 rounds to 2 -> 7 2 (padding follows).
  Bytes out;
  ASSERT_TRUE(encode_pic(std::vector<double>{0, 23, 1, 2.4}, out).has_value());
  EXPECT_EQ(out, (Bytes{0x86, 0x71, 0x71, 0x72}));
  Bytes odd;
  ASSERT_TRUE(encode_pic(std::vector<double>{0}, odd).has_value());
  EXPECT_EQ(odd, (Bytes{0x80}));
  Bytes empty;
  ASSERT_TRUE(encode_pic({}, empty).has_value());
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(*decode_pic(Bytes{0x86, 0x71, 0x71, 0x72}), (std::vector<double>{0, 23, 1, 2}));
}

struct MzRange {
  double low;
  double high;
  std::size_t count;
  double ppm;
};

TEST(NumpressLinear, ErrorStaysWithinTheChosenBound) {
  const MzRange ranges[] = {
      {100, 2000, 100000, 0.1}, {50, 3000, 20000, 0.01}, {1000, 1000.5, 500, 0.1},
      {200, 220, 3, 1.0},       {10, 4000, 2000, 0.001}, {500, 500, 10, 0.1},
  };
  std::mt19937_64 random(11);
  for (const auto& r : ranges) {
    SCOPED_TRACE(testing::Message() << r.low << ".." << r.high << " at " << r.ppm << " ppm");
    // A profile-like axis (quadratic in position) with jitter, then sorted
    // centroid-like values.
    for (int shape = 0; shape < 2; ++shape) {
      std::vector<double> mz(r.count);
      std::uniform_real_distribution<double> uniform(r.low, r.high);
      for (std::size_t i = 0; i < r.count; ++i) {
        const double u = r.count == 1 ? 0 : static_cast<double>(i) / static_cast<double>(r.count - 1);
        mz[i] = shape == 0 ? r.low + (r.high - r.low) * u * u : uniform(random);
      }
      if (shape == 1) std::sort(mz.begin(), mz.end());
      const double f = linear_fixed_point(mz, r.ppm);
      ASSERT_GT(f, 0);
      EXPECT_LE(f, linear_safe_fixed_point(mz));
      Bytes out;
      ASSERT_TRUE(encode_linear(mz, f, out).has_value());
      auto decoded = decode_linear(out);
      ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
      ASSERT_EQ(decoded->size(), mz.size());
      const double bound = r.ppm * 1e-6 * r.high;
      for (std::size_t i = 0; i < mz.size(); ++i) {
        ASSERT_LE(std::fabs((*decoded)[i] - mz[i]), std::min(bound, 0.5 / f) * (1 + 1e-9)) << i;
      }
    }
  }
}

TEST(NumpressLinear, SafeScaleKeepsEveryIntegerIn32Bits) {
  // Jumps that dwarf the values: the scale falls to the safe maximum.
  const std::vector<double> wild = {0.0, 1.0, 5e5, -4e5, 1e6, 0.0, 3e5};
  const double f = linear_fixed_point(wild, 1e-6);
  EXPECT_EQ(f, linear_safe_fixed_point(wild));
  Bytes out;
  ASSERT_TRUE(encode_linear(wild, f, out).has_value());
  auto decoded = decode_linear(out);
  ASSERT_TRUE(decoded.has_value());
  // (long long)(v f + 0.5) truncates toward zero: within 0.5 / f above zero,
  // 1.5 / f below.
  for (std::size_t i = 0; i < wild.size(); ++i) {
    EXPECT_NEAR((*decoded)[i], wild[i], (wild[i] < 0 ? 1.5 : 0.5) / f * (1 + 1e-9));
  }
  // One scale step beyond it overflows a residual.
  Bytes beyond;
  EXPECT_FALSE(encode_linear(wild, 4 * f, beyond).has_value());
  EXPECT_TRUE(beyond.empty());
}

// Arrays whose largest value is tiny or huge, smooth or jumping between 0
// and the top at every point (the largest residual values of one sign
// allow): the bound holds at any ppm down to 0.001.
TEST(NumpressLinear, BoundHoldsForAnyRangeOfValues) {
  std::mt19937_64 random(17);
  for (const double top : {1e-6, 4e-3, 0.5, 4.6, 4.7, 100.0, 2e3, 1e6, 1e12}) {
    for (const double ppm : {0.001, 0.1, 10.0}) {
      for (int shape = 0; shape < 3; ++shape) {
        SCOPED_TRACE(testing::Message() << "top " << top << ", " << ppm << " ppm, shape " << shape);
        std::vector<double> mz(257);
        std::uniform_real_distribution<double> uniform(0, top);
        for (std::size_t i = 0; i < mz.size(); ++i) {
          const double u = static_cast<double>(i) / static_cast<double>(mz.size() - 1);
          mz[i] = shape == 0 ? top * (0.25 + 0.75 * u * u) : shape == 1 ? uniform(random) : (i % 2 ? top : 0.0);
        }
        const double f = linear_fixed_point(mz, ppm);
        ASSERT_GT(f, 0);
        Bytes out;
        ASSERT_TRUE(encode_linear(mz, f, out).has_value());
        auto decoded = decode_linear(out);
        ASSERT_TRUE(decoded.has_value()) << decoded.error().display();
        ASSERT_EQ(decoded->size(), mz.size());
        for (std::size_t i = 0; i < mz.size(); ++i) {
          ASSERT_LE(std::fabs((*decoded)[i] - mz[i]), ppm * 1e-6 * top * (1 + 1e-9)) << i;
        }
      }
    }
  }
}

// The safe scale encodes any finite array, values of both signs and wild
// jumps included.
TEST(NumpressLinear, SafeScaleAlwaysEncodes) {
  std::mt19937_64 random(23);
  for (int trial = 0; trial < 300; ++trial) {
    const double top = std::ldexp(1.0, static_cast<int>(random() % 80) - 40);
    std::uniform_real_distribution<double> uniform(-top, top);
    std::vector<double> values(2 + random() % 40);
    for (double& v : values) v = random() % 5 == 0 ? 0.0 : uniform(random);
    const double f = linear_safe_fixed_point(values);
    ASSERT_GT(f, 0) << trial;
    Bytes out;
    ASSERT_TRUE(encode_linear(values, f, out).has_value()) << trial;
    ASSERT_TRUE(decode_linear(out).has_value()) << trial;
  }
}

TEST(NumpressSlof, RelativeErrorWithinTheScaleBound) {
  std::mt19937_64 random(5);
  for (double top : {1.0, 100.0, 1e4, 1e7, 3e38}) {
    SCOPED_TRACE(top);
    std::vector<double> values(5000);
    std::uniform_real_distribution<double> uniform(0, top);
    for (double& v : values) v = random() % 4 == 0 ? 0.0 : uniform(random);
    const double f = slof_fixed_point(values);
    Bytes out;
    ASSERT_TRUE(encode_slof(values, f, out).has_value());
    auto decoded = decode_slof(out);
    ASSERT_TRUE(decoded.has_value());
    ASSERT_EQ(decoded->size(), values.size());
    const double relative = std::exp(0.5 / f) - 1;
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_LE(std::fabs((*decoded)[i] - values[i]), relative * (values[i] + 1) * (1 + 1e-6)) << i;
    }
  }
}

TEST(NumpressPic, IntegerCountsRoundTripExactly) {
  std::vector<double> counts = {0, 1, 15, 16, 255, 65536, 2147483646.0};
  std::mt19937 random(3);
  for (int i = 0; i < 1000; ++i) counts.push_back(static_cast<double>(random() % 100000));
  Bytes out;
  ASSERT_TRUE(encode_pic(counts, out).has_value());
  EXPECT_EQ(*decode_pic(out), counts);
}

struct RefusalCase {
  const char* name;
  std::vector<double> values;
  bool linear;
  bool slof;
  bool pic;
};

TEST(NumpressEncoders, RefuseWhatTheyCannotRepresentAndAppendNothing) {
  const RefusalCase cases[] = {
      {"NaN", {1, kNaN, 3}, false, false, false},
      {"infinity", {1, kInf}, false, false, false},
      {"negative", {5, -2, 7}, true, false, false},
      {"beyond 32 bits", {1, 3e9}, false, true, false},
      {"fine", {0, 1, 2.5, 1000}, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes before = {1, 2, 3};
    Bytes out = before;
    EXPECT_EQ(encode_linear(c.values, 1.0, out).has_value(), c.linear);
    if (!c.linear) {
      EXPECT_EQ(out, before);
    }
    out = before;
    EXPECT_EQ(encode_slof(c.values, slof_fixed_point(c.values), out).has_value(), c.slof);
    if (!c.slof) {
      EXPECT_EQ(out, before);
    }
    out = before;
    EXPECT_EQ(encode_pic(c.values, out).has_value(), c.pic);
    if (!c.pic) {
      EXPECT_EQ(out, before);
    }
  }
  Bytes out;
  EXPECT_FALSE(encode_linear(std::vector<double>{1.0}, 0.0, out).has_value());
  EXPECT_FALSE(encode_linear(std::vector<double>{1.0}, kNaN, out).has_value());
  EXPECT_EQ(linear_safe_fixed_point(std::vector<double>{1.0, kNaN}), 0.0);
  EXPECT_EQ(linear_fixed_point(std::vector<double>{kInf}, 0.1), 0.0);
}

struct MalformedCase {
  const char* name;
  Bytes bytes;
};

TEST(NumpressDecoders, RefuseTruncatedInput) {
  const MalformedCase linear_cases[] = {
      {"shorter than the scale", {0x40, 0, 0}},
      {"zero scale", {0, 0, 0, 0, 0, 0, 0, 0}},
      {"NaN scale", {0x7f, 0xf8, 0, 0, 0, 0, 0, 0}},
      {"half a first value", concat(kScale2, {1, 2})},
      {"half a second value", concat(kScale2, {1, 2, 3, 4, 5, 6})},
      {"residual cut short", concat(kScale2, {200, 0, 0, 0, 201, 0, 0, 0, 0x03})},
  };
  for (const auto& c : linear_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(decode_linear(c.bytes).has_value());
  }
  EXPECT_FALSE(decode_slof(Bytes{0x40, 0}).has_value());
  EXPECT_FALSE(decode_slof(concat(kScale2, {1})).has_value());
  EXPECT_FALSE(decode_pic(Bytes{0x01, 0x23}).has_value());  // head 0 needs eight nibbles
}

}  // namespace
}  // namespace karvel::exporter::numpress
