#include "support/format.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

namespace karvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(FormatFloat, ShortestPlainDecimal) {
  EXPECT_EQ(format_float(0.5), "0.5");
  EXPECT_EQ(format_float(12.0), "12");
  EXPECT_EQ(format_float(0.0), "0");
  EXPECT_EQ(format_float(-0.0), "-0");
  EXPECT_EQ(format_float(-2.25), "-2.25");
  EXPECT_EQ(format_float(0.1), "0.1");
  EXPECT_EQ(format_float(1000.0), "1000");
  EXPECT_EQ(format_float(0.1 + 0.2), "0.30000000000000004");
}

TEST(FormatFloat, NeverUsesAnExponent) {
  EXPECT_EQ(format_float(1e20), "100000000000000000000");
  EXPECT_EQ(format_float(1.5e-7), "0.00000015");
  EXPECT_EQ(format_float(-1e-5), "-0.00001");
  const std::string largest = format_float(std::numeric_limits<double>::max());
  EXPECT_EQ(largest.size(), 309u);
  EXPECT_EQ(largest.find('e'), std::string::npos);
  EXPECT_EQ(format_float(5e-324).substr(0, 6), "0.0000");
}

std::string zeros(std::size_t count) { return std::string(count, '0'); }

TEST(FormatFloat, ShortestDigitsAtEveryMagnitude) {
  const double largest = std::numeric_limits<double>::max();
  const double smallest_normal = std::numeric_limits<double>::min();
  const double smallest = std::numeric_limits<double>::denorm_min();
  const struct {
    double value;
    std::string text;
  } cases[] = {
      {1e23, "1" + zeros(23)},
      {-1e23, "-1" + zeros(23)},
      {1e22, "1" + zeros(22)},
      {0x1p70, "11805916207174113" + zeros(5)},
      {0x1p60, "1152921504606847000"},
      {-0x1p60, "-1152921504606847000"},
      {0x1p53 + 2, "9007199254740994"},
      {123456789012345680.0, "123456789012345680"},
      {largest, "17976931348623157" + zeros(292)},
      {-largest, "-17976931348623157" + zeros(292)},
      {largest / 3, "5992310449541053" + zeros(292)},
      {smallest_normal, "0." + zeros(307) + "22250738585072014"},
      {smallest_normal - smallest, "0." + zeros(307) + "2225073858507201"},
      {smallest, "0." + zeros(323) + "5"},
      {-smallest, "-0." + zeros(323) + "5"},
      {0.000123, "0.000123"},
      {123.456, "123.456"},
      {-0.0, "-0"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_float(c.value), c.text) << c.text.size();
}

TEST(FormatFloat, ReadsBackWithoutExponentAcrossBitPatterns) {
  // Bit patterns spread over every exponent, both signs, subnormals included.
  std::uint64_t bits = 0x9E3779B97F4A7C15u;
  for (int i = 0; i < 20000; ++i) {
    bits = bits * 6364136223846793005u + 1442695040888963407u;
    double value = std::bit_cast<double>(bits);
    if (!std::isfinite(value)) continue;
    const std::string text = format_float(value);
    ASSERT_EQ(text.find_first_not_of("-0123456789."), std::string::npos) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    ASSERT_EQ(std::signbit(value), text.front() == '-') << text;
  }
}

TEST(FormatFloat, NonFiniteValues) {
  EXPECT_EQ(format_float(kNaN), "NaN");
  EXPECT_EQ(format_float(-kNaN), "NaN");
  EXPECT_EQ(format_float(kInf), "inf");
  EXPECT_EQ(format_float(-kInf), "-inf");
}

TEST(FormatFloat, SinglePrecisionUsesItsOwnShortestForm) {
  EXPECT_EQ(format_float(0.1f), "0.1");
  EXPECT_EQ(format_float(16777216.0f), "16777216");
  EXPECT_EQ(format_float(0x1p70f), "11805916" + zeros(14));
  EXPECT_EQ(format_float(std::numeric_limits<float>::max()), "34028235" + zeros(31));
  EXPECT_EQ(format_float(-std::numeric_limits<float>::max()), "-34028235" + zeros(31));
  EXPECT_EQ(format_float(std::numeric_limits<float>::denorm_min()), "0." + zeros(44) + "1");
  EXPECT_EQ(format_float(-0.0f), "-0");
  EXPECT_EQ(format_float(std::numeric_limits<float>::infinity()), "inf");
}

TEST(FormatFloatDebug, WholeNumbersKeepPointZero) {
  EXPECT_EQ(format_float_debug(12.0), "12.0");
  EXPECT_EQ(format_float_debug(0.0), "0.0");
  EXPECT_EQ(format_float_debug(-0.0), "-0.0");
  EXPECT_EQ(format_float_debug(1.5), "1.5");
  EXPECT_EQ(format_float_debug(9999999999999998.0), "9999999999999998.0");
}

TEST(FormatFloatDebug, ExponentOutsideTheMiddleRange) {
  EXPECT_EQ(format_float_debug(1e16), "1e16");
  EXPECT_EQ(format_float_debug(1e20), "1e20");
  EXPECT_EQ(format_float_debug(-2.5e30), "-2.5e30");
  EXPECT_EQ(format_float_debug(1.5e-7), "1.5e-7");
  EXPECT_EQ(format_float_debug(0.0001), "0.0001");
  EXPECT_EQ(format_float_debug(0.00009), "9e-5");
  EXPECT_EQ(format_float_debug(1e-300), "1e-300");
  EXPECT_EQ(format_float_debug(kNaN), "NaN");
  EXPECT_EQ(format_float_debug(-kInf), "-inf");
}

TEST(FormatFloatList, BracketedAndSeparated) {
  const std::vector<double> values{12.0, 1e20, 1.5e-7};
  EXPECT_EQ(format_float_list(values), "[12.0, 1e20, 1.5e-7]");
  const std::vector<double> mixed{0.0, 1.5, kNaN, kInf, 0.0, 0.0, 0.0, 0.0};
  EXPECT_EQ(format_float_list(mixed), "[0.0, 1.5, NaN, inf, 0.0, 0.0, 0.0, 0.0]");
  EXPECT_EQ(format_float_list({}), "[]");
}

TEST(FormatQuoted, EscapesLikeADebugString) {
  EXPECT_EQ(format_quoted("plain"), "\"plain\"");
  EXPECT_EQ(format_quoted(" 7"), "\" 7\"");
  EXPECT_EQ(format_quoted("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(format_quoted("\t\r\n"), "\"\\t\\r\\n\"");
  EXPECT_EQ(format_quoted(std::string_view("a\0b", 3)), "\"a\\0b\"");
  EXPECT_EQ(format_quoted("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(format_quoted("it's"), "\"it's\"");
}

TEST(FormatQuoted, UnicodeTextStaysReadable) {
  EXPECT_EQ(format_quoted("µm é 日本"), "\"µm é 日本\"");
  EXPECT_EQ(format_quoted("\xEF\xBB\xBFx"), "\"\\u{feff}x\"");
  EXPECT_EQ(format_quoted("\xC2\x85"), "\"\\u{85}\"");
  // Format characters, unassigned code points and spaces other than U+0020.
  EXPECT_EQ(format_quoted("a\u0600b\U000E0001"), "\"a\\u{600}b\\u{e0001}\"");
  EXPECT_EQ(format_quoted("\xCD\xB8"), "\"\\u{378}\"");
  EXPECT_EQ(format_quoted("1\u00A02\u30003 4"), "\"1\\u{a0}2\\u{3000}3 4\"");
  // Invalid bytes appear as the replacement character.
  EXPECT_EQ(format_quoted("a\xFF"), "\"a\xEF\xBF\xBD\"");
}

TEST(FormatOptional, SomeOrNone) {
  EXPECT_EQ(format_optional(std::optional<int>(3)), "Some(3)");
  EXPECT_EQ(format_optional(std::optional<int>(-1)), "Some(-1)");
  EXPECT_EQ(format_optional(std::optional<int>()), "None");
}

TEST(StrCat, TextsAndIntegers) {
  EXPECT_EQ(str_cat("a", 5, std::string("b"), std::string_view("c"), -7, 'd'), "a5bc-7d");
  EXPECT_EQ(str_cat(std::uint64_t{18446744073709551615u}), "18446744073709551615");
  EXPECT_EQ(str_cat(std::int32_t{-2147483647 - 1}), "-2147483648");
}

}  // namespace
}  // namespace karvel
