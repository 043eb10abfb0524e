// Strict number syntaxes of XML side-file values. Each function reads the
// whole text or nothing: no blanks, no hexadecimal, no partial matches.
//
// - parse_i32: an optional "+" or "-", then one or more ASCII digits, in range.
// - parse_u32, parse_u64: an optional "+", then one or more ASCII digits, in range.
// - parse_f64: an optional sign, then digits with an optional fraction and
//   exponent ("1", ".5", "5.", "-2.5e-3"; at least one digit before the
//   exponent), or the words inf, infinity and nan in any letter case.
//   Magnitudes beyond the double range round to infinity or zero.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace karvel::raw::decimal_text {

std::optional<std::int32_t> parse_i32(std::string_view text);
std::optional<std::uint32_t> parse_u32(std::string_view text);
std::optional<std::uint64_t> parse_u64(std::string_view text);
std::optional<double> parse_f64(std::string_view text);

}  // namespace karvel::raw::decimal_text
