// Text forms of values inside messages.
//
// - format_float: one float, shortest text that reads back to the same value,
//   never an exponent, no trailing ".0" (0.5, 12, -0, NaN, inf, -inf).
// - format_float_debug: the form floats take inside lists: whole numbers keep
//   ".0", magnitudes of 1e16 or more or below 1e-4 (but not zero) use an
//   exponent (12.0, 1e20, 1.5e-7).
// - format_float_list: "[12.0, 1e20, 1.5e-7]".
// - format_quoted: text in double quotes with backslash escapes and \u{hex}.
// - format_optional: Some(value) or None.
// - str_cat: concatenates texts and integers; floats must be formatted
//   explicitly, so a message always says which float form it uses.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace karvel {

std::string format_float(double value);
std::string format_float(float value);
std::string format_float_debug(double value);
std::string format_float_list(std::span<const double> values);
std::string format_quoted(std::string_view text);

namespace detail {

template <class T>
concept Text = std::convertible_to<const T&, std::string_view>;

template <class T>
void append_piece(std::string& out, const T& piece) {
  if constexpr (Text<T>) {
    out.append(std::string_view(piece));
  } else if constexpr (std::is_same_v<T, char>) {
    out.push_back(piece);
  } else if constexpr (std::is_same_v<T, bool>) {
    static_assert(!std::is_same_v<T, bool>, "format booleans explicitly");
  } else if constexpr (std::is_integral_v<T>) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, piece);
    (void)ec;
    out.append(buffer, end);
  } else {
    static_assert(!std::is_floating_point_v<T>,
                  "format floats with format_float or format_float_debug");
    static_assert(std::is_floating_point_v<T>, "unsupported piece type");
  }
}

}  // namespace detail

template <class... Pieces>
std::string str_cat(const Pieces&... pieces) {
  std::string out;
  (detail::append_piece(out, pieces), ...);
  return out;
}

template <std::integral T>
std::string format_optional(const std::optional<T>& value) {
  return value ? str_cat("Some(", *value, ")") : std::string("None");
}

}  // namespace karvel
