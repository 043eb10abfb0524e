#include "raw/decimal_text.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <system_error>

namespace karvel::raw::decimal_text {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool all_digits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}

// text without one leading sign character; negative tells which it was.
std::string_view strip_sign(std::string_view text, bool allow_minus, bool* negative) {
  *negative = false;
  if (text.starts_with('+')) return text.substr(1);
  if (allow_minus && text.starts_with('-')) {
    *negative = true;
    return text.substr(1);
  }
  return text;
}

template <class Int>
std::optional<Int> parse_integer(std::string_view text, bool allow_minus) {
  bool negative;
  std::string_view digits = strip_sign(text, allow_minus, &negative);
  if (!all_digits(digits)) return std::nullopt;
  // from_chars takes a minus sign but no plus sign.
  std::string_view number = negative ? text : digits;
  Int value{};
  auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value, 10);
  if (ec != std::errc() || end != number.data() + number.size()) return std::nullopt;
  return value;
}

bool equals_ignoring_case(std::string_view text, std::string_view lower_word) {
  return text.size() == lower_word.size() &&
         std::equal(text.begin(), text.end(), lower_word.begin(), [](char a, char b) {
           return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
         });
}

// The parts of a decimal number: digits, optional fraction, optional exponent.
struct DecimalParts {
  std::string_view integer;   // digits before the point
  std::string_view fraction;  // digits after the point
  std::string_view exponent;  // optional sign and digits after "e"
};

std::optional<DecimalParts> split_decimal(std::string_view text) {
  DecimalParts parts;
  std::size_t i = 0;
  while (i < text.size() && is_digit(text[i])) ++i;
  parts.integer = text.substr(0, i);
  if (i < text.size() && text[i] == '.') {
    const std::size_t start = ++i;
    while (i < text.size() && is_digit(text[i])) ++i;
    parts.fraction = text.substr(start, i - start);
  }
  if (parts.integer.empty() && parts.fraction.empty()) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    parts.exponent = text.substr(i + 1);
    bool negative;
    if (!all_digits(strip_sign(parts.exponent, true, &negative))) return std::nullopt;
    i = text.size();
  }
  if (i != text.size()) return std::nullopt;
  return parts;
}

// The exponent value, saturated far beyond any double's range.
std::int64_t saturated_exponent(std::string_view exponent) {
  constexpr std::int64_t kLimit = std::int64_t{1} << 40;
  bool negative;
  std::string_view digits = strip_sign(exponent, true, &negative);
  std::int64_t value = 0;
  for (char c : digits) value = std::min(kLimit, value * 10 + (c - '0'));
  return negative ? -value : value;
}

// Whether a non-zero number outside the double range is too large (rather
// than too small): its first significant digit stands at 10^(e-1) with e
// positive.
bool beyond_largest(const DecimalParts& parts) {
  const std::size_t integer_start = parts.integer.find_first_not_of('0');
  std::int64_t magnitude;
  if (integer_start != std::string_view::npos) {
    magnitude = static_cast<std::int64_t>(parts.integer.size() - integer_start);
  } else {
    const std::size_t leading_zeros = parts.fraction.find_first_not_of('0');
    magnitude = -static_cast<std::int64_t>(leading_zeros == std::string_view::npos
                                               ? parts.fraction.size()
                                               : leading_zeros);
  }
  return magnitude + saturated_exponent(parts.exponent) > 0;
}

}  // namespace

std::optional<std::int32_t> parse_i32(std::string_view text) {
  return parse_integer<std::int32_t>(text, true);
}

std::optional<std::uint32_t> parse_u32(std::string_view text) {
  return parse_integer<std::uint32_t>(text, false);
}

std::optional<std::uint64_t> parse_u64(std::string_view text) {
  return parse_integer<std::uint64_t>(text, false);
}

std::optional<double> parse_f64(std::string_view text) {
  bool negative;
  const std::string_view body = strip_sign(text, true, &negative);
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_case(body, "nan")) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return negative ? -nan : nan;
  }
  auto parts = split_decimal(body);
  if (!parts) return std::nullopt;
  double value = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value,
                                   std::chars_format::general);
  if (end != body.data() + body.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    value = beyond_largest(*parts) ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc()) {
    return std::nullopt;
  }
  return sign * value;
}

}  // namespace karvel::raw::decimal_text
