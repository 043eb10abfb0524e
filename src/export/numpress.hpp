// MS-Numpress: three lossy encodings of mzML binary arrays, in the byte
// layout every numpress reader decodes.
//
//   linear  (m/z)          values as fixed-point integers v·f rounded, the
//                          first two as 32-bit little-endian integers, then
//                          the residuals of a linear prediction from the two
//                          previous integers, half-byte packed; after an
//                          8-byte big-endian double f. Error per value
//                          at most 0.5 / f.
//   slof    (intensities)  f as a big-endian double, then per value the
//                          16-bit little-endian integer ln(v + 1)·f rounded;
//                          relative error in v + 1 at most e^(0.5/f) - 1.
//   pic     (counts)       each value rounded to a non-negative integer,
//                          half-byte packed; exact for integer counts.
//
// Half-byte packing of a 32-bit integer: a head nibble giving the number n
// of leading 0x0 nibbles (head n, 0..8) or of leading 0xf nibbles (head
// 8 + n, n 1..7), then the other 8 - n nibbles least significant first.
// Nibbles fill bytes high nibble first; an odd count leaves the last low
// nibble 0.
//
// The encoders refuse (an error, nothing appended) values an encoding
// cannot represent: non-finite values, integers beyond 32 bits, negative
// values for slof and pic. The mzML writer then keeps that array in the
// plain encoding. The decoders are for the tests: they check every length
// and count against the input before use.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/error.hpp"

namespace karvel::exporter::numpress {

// The largest f for which every integer linear() writes fits in 32 bits
// (the scaled values and the residuals, rounding included); 0 when there
// is none (non-finite values). At least (2^31 - 5) / (2 max|v|) for values
// of one sign, (2^31 - 5) / (4 max|v|) otherwise.
double linear_safe_fixed_point(std::span<const double> values);

// The f for an error of at most ppm parts per million of the array's
// largest |m/z| per value: 0.5 / (ppm·1e-6·max|v|), capped by the safe
// maximum; the safe maximum for an all-zero array or ppm <= 0. 0 when
// there is no safe f. The cap never binds for ppm >= 0.001 (the safe
// maximum's lower bound above), so the bound holds for any range of m/z
// values, however small or large.
double linear_fixed_point(std::span<const double> values, double ppm);

// Appends the linear encoding of values with the given f (> 0) to out.
Result<void> encode_linear(std::span<const double> values, double fixed_point,
                           std::vector<std::uint8_t>& out);

// f = floor(0xFFFF / max(1, max ln(v + 1))), at least 1.
double slof_fixed_point(std::span<const double> values);
Result<void> encode_slof(std::span<const double> values, double fixed_point,
                         std::vector<std::uint8_t>& out);

Result<void> encode_pic(std::span<const double> values, std::vector<std::uint8_t>& out);

Result<std::vector<double>> decode_linear(std::span<const std::uint8_t> bytes);
Result<std::vector<double>> decode_slof(std::span<const std::uint8_t> bytes);
Result<std::vector<double>> decode_pic(std::span<const std::uint8_t> bytes);

// The half-byte packing of one integer, as nibbles (0..15), appended to out.
void append_int_nibbles(std::int32_t value, std::vector<std::uint8_t>& nibbles);

}  // namespace karvel::exporter::numpress
