#include "support/format.hpp"

#include <cmath>
#include <cstdint>
#include <string_view>

#include "support/text.hpp"

namespace karvel {
namespace {

template <class F>
std::string non_finite(F value) {
  if (std::isnan(value)) return "NaN";
  return value < 0 ? "-inf" : "inf";
}

// The shortest digits that read back to the same value, as to_chars writes
// them in exponent form ("-1.2345e+22"): sign, digits without the point, and
// the power of ten of the first digit.
struct ShortestDigits {
  bool negative = false;
  std::string digits;
  int exponent = 0;
};

template <class F>
ShortestDigits shortest_digits(F value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  (void)ec;
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  ShortestDigits out;
  if (text.front() == '-') {
    out.negative = true;
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  std::from_chars(text.data() + e + (text[e + 1] == '+' ? 2 : 1), text.data() + text.size(),
                  out.exponent);
  return out;
}

// Shortest round-trip digits written out in plain notation: the digits are
// padded with zeros on either side, never followed by an exponent.
template <class F>
std::string plain(F value) {
  if (!std::isfinite(value)) return non_finite(value);
  const ShortestDigits shortest = shortest_digits(value);
  const std::string& digits = shortest.digits;
  const long count = static_cast<long>(digits.size());
  const long point = shortest.exponent + 1L;  // digits before the decimal point
  std::string out;
  if (shortest.negative) out.push_back('-');
  if (point <= 0) {
    out.append("0.").append(static_cast<std::size_t>(-point), '0').append(digits);
  } else if (point >= count) {
    out.append(digits).append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point))
        .append(".")
        .append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

// Shortest round-trip digits in exponent notation, written "1e20" or
// "-1.5e-7": no plus sign and no leading zeros in the exponent.
std::string exponent_form(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  (void)ec;
  std::string_view text(buffer, static_cast<std::size_t>(end - buffer));
  std::size_t e = text.find('e');
  std::string out(text.substr(0, e));
  out.push_back('e');
  std::string_view exponent = text.substr(e + 1);
  if (!exponent.empty() && exponent.front() == '-') {
    out.push_back('-');
    exponent.remove_prefix(1);
  } else if (!exponent.empty() && exponent.front() == '+') {
    exponent.remove_prefix(1);
  }
  while (exponent.size() > 1 && exponent.front() == '0') exponent.remove_prefix(1);
  out.append(exponent);
  return out;
}

}  // namespace

std::string format_float(double value) { return plain(value); }

std::string format_float(float value) { return plain(value); }

std::string format_float_debug(double value) {
  if (!std::isfinite(value)) return non_finite(value);
  double magnitude = std::fabs(value);
  if (magnitude != 0 && (magnitude >= 1e16 || magnitude < 1e-4)) return exponent_form(value);
  std::string out = plain(value);
  if (out.find('.') == std::string::npos) out.append(".0");
  return out;
}

std::string format_float_list(std::span<const double> values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i != 0) out.append(", ");
    out.append(format_float_debug(values[i]));
  }
  out.push_back(']');
  return out;
}

std::string format_quoted(std::string_view text) {
  std::string out = "\"";
  for_each_code_point(text, [&out](char32_t c, std::string_view bytes) {
    switch (c) {
      case U'"': out.append("\\\""); return;
      case U'\\': out.append("\\\\"); return;
      case U'\t': out.append("\\t"); return;
      case U'\r': out.append("\\r"); return;
      case U'\n': out.append("\\n"); return;
      case U'\0': out.append("\\0"); return;
      default: break;
    }
    if (is_printable(c)) {
      out.append(bytes);
      return;
    }
    char hex[16];
    auto [end, ec] = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
    (void)ec;
    out.append("\\u{").append(hex, end).push_back('}');
  });
  out.push_back('"');
  return out;
}

}  // namespace karvel
