#include "raw/decimal_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace karvel::raw::decimal_text {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(DecimalText, SignedThirtyTwoBit) {
  EXPECT_EQ(parse_i32("7"), 7);
  EXPECT_EQ(parse_i32("+7"), 7);
  EXPECT_EQ(parse_i32("-7"), -7);
  EXPECT_EQ(parse_i32("007"), 7);
  EXPECT_EQ(parse_i32("-0"), 0);
  EXPECT_EQ(parse_i32("2147483647"), 2147483647);
  EXPECT_EQ(parse_i32("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", "+", "-", " 7", "7 ", "2147483648", "-2147483649", "+-7", "--7",
                          "0x10", "1e3", "7.0", "\xEF\xBC\x97" /* fullwidth 7 */}) {
    EXPECT_EQ(parse_i32(bad), std::nullopt) << bad;
  }
}

TEST(DecimalText, UnsignedDecimals) {
  EXPECT_EQ(parse_u32("+12"), 12u);
  EXPECT_EQ(parse_u32("4294967295"), 4294967295u);
  EXPECT_EQ(parse_u64("18446744073709551615"), 18446744073709551615u);
  EXPECT_EQ(parse_u64("0"), 0u);
  for (const char* bad : {"", "+", "-0", "-1", " 1", "4294967296", "1_0", "١"}) {
    EXPECT_EQ(parse_u32(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(parse_u64("18446744073709551616"), std::nullopt);
  EXPECT_EQ(parse_u64("99999999999999999999999"), std::nullopt);
}

TEST(DecimalText, FloatForms) {
  EXPECT_EQ(parse_f64("1"), 1.0);
  EXPECT_EQ(parse_f64(".5"), 0.5);
  EXPECT_EQ(parse_f64("5."), 5.0);
  EXPECT_EQ(parse_f64("-2.5e-3"), -2.5e-3);
  EXPECT_EQ(parse_f64("+1E+2"), 100.0);
  EXPECT_EQ(parse_f64("0.1"), 0.1);
  EXPECT_EQ(parse_f64("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(parse_f64("4.9406564584124654e-324"), std::numeric_limits<double>::denorm_min());
  auto negative_zero = parse_f64("-0");
  ASSERT_TRUE(negative_zero);
  EXPECT_TRUE(std::signbit(*negative_zero));

  for (const char* bad : {"", ".", "+", "-", "e5", ".e5", "1e", "1e+", "1.2.3", " 1", "1 ", "0x1p3",
                          "1,5", "in", "infinit", "nan(1)", "+-1", "1e5.0", "1d5", "1f"}) {
    EXPECT_EQ(parse_f64(bad), std::nullopt) << bad;
  }
}

TEST(DecimalText, FloatWords) {
  for (const char* word : {"inf", "INF", "Infinity", "+infinity", "iNfInItY"}) {
    EXPECT_EQ(parse_f64(word), kInf) << word;
  }
  EXPECT_EQ(parse_f64("-Inf"), -kInf);
  for (const char* word : {"nan", "NaN", "-NAN", "+nan"}) {
    auto value = parse_f64(word);
    ASSERT_TRUE(value) << word;
    EXPECT_TRUE(std::isnan(*value)) << word;
  }
}

TEST(DecimalText, OutOfRangeRoundsLikeAFloatParse) {
  EXPECT_EQ(parse_f64("1e400"), kInf);
  EXPECT_EQ(parse_f64("-1e400"), -kInf);
  EXPECT_EQ(parse_f64("1.8e308"), kInf);
  EXPECT_EQ(parse_f64("123456789e99999999999999999999"), kInf);
  EXPECT_EQ(parse_f64("0.000001e-99999999999999999999"), 0.0);
  EXPECT_EQ(parse_f64("1e-400"), 0.0);
  // Halfway below the smallest subnormal rounds to zero, keeping the sign.
  auto tiny = parse_f64("-2.4703282292062327e-324");
  ASSERT_TRUE(tiny);
  EXPECT_EQ(*tiny, 0.0);
  EXPECT_TRUE(std::signbit(*tiny));
  // Values far past the range written with many leading zeros or digits.
  EXPECT_EQ(parse_f64("0.0000000001e-320"), 0.0);
  EXPECT_EQ(parse_f64(std::string(400, '9')), kInf);
  EXPECT_EQ(parse_f64("0e999999"), 0.0);
}

}  // namespace
}  // namespace karvel::raw::decimal_text
