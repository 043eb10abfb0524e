#include "export/numpress.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "support/bytes.hpp"
#include "support/format.hpp"

namespace karvel::exporter::numpress {
namespace {

constexpr double kInt32Max = 2147483647.0;  // 0x7FFFFFFF
constexpr std::size_t kHeaderSize = 8;
// The largest scale handed out: far beyond any useful precision, and v f
// stays finite for every value that reaches it.
constexpr double kMaxScale = 0x1p500;

void append_fixed_point(double fixed_point, std::vector<std::uint8_t>& out) {
  const auto bits = std::byteswap(std::bit_cast<std::uint64_t>(fixed_point));
  std::uint8_t bytes[8];
  std::memcpy(bytes, &bits, 8);
  out.insert(out.end(), bytes, bytes + 8);
}

double read_fixed_point(std::span<const std::uint8_t> bytes) {
  return std::bit_cast<double>(std::byteswap(load_u64(bytes.data())));
}

void append_le32(std::int32_t value, std::vector<std::uint8_t>& out) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

// The half-byte packing of value into nibbles; returns their count (1..9).
std::size_t int_nibbles(std::int32_t value, std::uint8_t (&nibbles)[9]) {
  const auto bits = static_cast<std::uint32_t>(value);
  const std::uint32_t top = bits >> 28;
  int leading = 0;
  if (top == 0x0) {
    while (leading < 8 && ((bits >> (28 - 4 * leading)) & 0xf) == 0x0) ++leading;
    nibbles[0] = static_cast<std::uint8_t>(leading);
  } else if (top == 0xf) {
    while (leading < 7 && ((bits >> (28 - 4 * leading)) & 0xf) == 0xf) ++leading;
    nibbles[0] = static_cast<std::uint8_t>(8 + leading);
  } else {
    nibbles[0] = 0;
  }
  const int count = 8 - leading;
  for (int k = 0; k < count; ++k) nibbles[1 + k] = static_cast<std::uint8_t>((bits >> (4 * k)) & 0xf);
  return static_cast<std::size_t>(1 + count);
}

// Nibbles appended to a byte list, high nibble first.
class NibbleWriter {
 public:
  explicit NibbleWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void put(std::uint8_t nibble) {
    if (high_) {
      out_.push_back(static_cast<std::uint8_t>(nibble << 4));
    } else {
      out_.back() |= nibble;
    }
    high_ = !high_;
  }
  void put_int(std::int32_t value) {
    std::uint8_t nibbles[9];
    const std::size_t count = int_nibbles(value, nibbles);
    for (std::size_t k = 0; k < count; ++k) put(nibbles[k]);
  }

 private:
  std::vector<std::uint8_t>& out_;
  bool high_ = true;
};

// Nibbles read from bytes; exhausted at the end or at the padding nibble.
class NibbleReader {
 public:
  explicit NibbleReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t remaining() const noexcept { return 2 * bytes_.size() - position_; }
  // True when nothing but a padding nibble (a final low nibble 0) is left.
  bool at_end() const noexcept {
    const std::size_t left = remaining();
    return left == 0 || (left == 1 && (bytes_.back() & 0xf) == 0);
  }
  std::uint8_t get() noexcept {
    const std::uint8_t byte = bytes_[position_ / 2];
    const std::uint8_t nibble = position_ % 2 == 0 ? byte >> 4 : byte & 0xf;
    ++position_;
    return nibble;
  }
  Result<std::int32_t> get_int() {
    const std::uint8_t head = get();
    const int leading = head <= 8 ? head : head - 8;
    const std::size_t count = static_cast<std::size_t>(8 - leading);
    if (remaining() < count) {
      return parse_error(str_cat("numpress: integer needs ", count, " nibbles, ", remaining(),
                                 " left"));
    }
    std::uint32_t bits = 0;
    for (std::size_t k = 0; k < count; ++k) bits |= std::uint32_t{get()} << (4 * k);
    if (head > 8) bits |= ~std::uint32_t{0} << (4 * count);
    return static_cast<std::int32_t>(bits);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t position_ = 0;
};

// v·f rounded as the format does, when it fits in 62 bits.
bool fixed(double value, double fixed_point, std::int64_t& out) {
  const double scaled = value * fixed_point + 0.5;
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 4.6e18) return false;
  out = static_cast<std::int64_t>(scaled);
  return true;
}

bool fits_int32(std::int64_t value) {
  return value >= std::numeric_limits<std::int32_t>::min() &&
         value <= std::numeric_limits<std::int32_t>::max();
}

Result<void> refuse(std::vector<std::uint8_t>& out, std::size_t size, std::string message) {
  out.resize(size);
  return parse_error(std::move(message));
}

}  // namespace

void append_int_nibbles(std::int32_t value, std::vector<std::uint8_t>& nibbles) {
  std::uint8_t packed[9];
  const std::size_t count = int_nibbles(value, packed);
  nibbles.insert(nibbles.end(), packed, packed + count);
}

double linear_safe_fixed_point(std::span<const double> values) {
  if (values.empty()) return 0;
  // Each scaled value v f is rounded to an integer (at most one unit off);
  // each residual is the exact f (v_k - 2 v_{k-1} + v_{k-2}) plus at most
  // four such units. Both must stay within 32 bits. The margin is counted in
  // scaled units: it does not shrink the scale of small values.
  double largest_value = 0;
  double largest_residual = 0;
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (!std::isfinite(values[k])) return 0;
    largest_value = std::max(largest_value, std::fabs(values[k]));
    if (k >= 2) {
      largest_residual = std::max(largest_residual, std::fabs(values[k] - 2.0 * values[k - 1] + values[k - 2]));
    }
  }
  if (!std::isfinite(largest_value) || !std::isfinite(largest_residual)) return 0;
  double safe = kMaxScale;
  if (largest_value > 0) safe = std::min(safe, (kInt32Max - 1.0) / largest_value);
  if (largest_residual > 0) safe = std::min(safe, (kInt32Max - 4.0) / largest_residual);
  return safe;
}

double linear_fixed_point(std::span<const double> values, double ppm) {
  const double safe = linear_safe_fixed_point(values);
  if (safe == 0 || !(ppm > 0)) return safe;
  double largest = 0;
  for (double value : values) largest = std::max(largest, std::fabs(value));
  if (largest == 0) return safe;
  const double wanted = 0.5 / (ppm * 1e-6 * largest);
  return std::min(wanted, safe);
}

Result<void> encode_linear(std::span<const double> values, double fixed_point,
                           std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  if (!(fixed_point > 0) || !std::isfinite(fixed_point)) {
    return parse_error(str_cat("numpress linear: scale ", format_float(fixed_point)));
  }
  append_fixed_point(fixed_point, out);
  if (values.empty()) return {};
  std::int64_t previous2 = 0;
  std::int64_t previous = 0;
  for (std::size_t k = 0; k < values.size() && k < 2; ++k) {
    std::int64_t scaled = 0;
    if (!fixed(values[k], fixed_point, scaled) || !fits_int32(scaled)) {
      return refuse(out, start, str_cat("numpress linear: value ", format_float(values[k]),
                                        " does not fit at scale ", format_float(fixed_point)));
    }
    append_le32(static_cast<std::int32_t>(scaled), out);
    previous2 = previous;
    previous = scaled;
  }
  NibbleWriter writer(out);
  for (std::size_t k = 2; k < values.size(); ++k) {
    std::int64_t scaled = 0;
    if (!fixed(values[k], fixed_point, scaled)) {
      return refuse(out, start, str_cat("numpress linear: value ", format_float(values[k]),
                                        " does not fit at scale ", format_float(fixed_point)));
    }
    const std::int64_t residual = scaled - (2 * previous - previous2);
    if (!fits_int32(residual)) {
      return refuse(out, start, str_cat("numpress linear: residual at value ", k,
                                        " exceeds 32 bits at scale ", format_float(fixed_point)));
    }
    writer.put_int(static_cast<std::int32_t>(residual));
    previous2 = previous;
    previous = scaled;
  }
  return {};
}

double slof_fixed_point(std::span<const double> values) {
  double largest = 1;
  for (double value : values) {
    if (std::isfinite(value) && value > 0) largest = std::max(largest, std::log(value + 1.0));
  }
  return std::max(1.0, std::floor(65535.0 / largest));
}

Result<void> encode_slof(std::span<const double> values, double fixed_point,
                         std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  if (!(fixed_point > 0) || !std::isfinite(fixed_point)) {
    return parse_error(str_cat("numpress slof: scale ", format_float(fixed_point)));
  }
  append_fixed_point(fixed_point, out);
  out.resize(start + kHeaderSize + 2 * values.size());
  std::uint8_t* data = out.data() + start + kHeaderSize;
  for (double value : values) {
    if (!(value >= 0) || !std::isfinite(value)) {
      return refuse(out, start, str_cat("numpress slof: value ", format_float(value)));
    }
    const double scaled = std::log(value + 1.0) * fixed_point + 0.5;
    if (scaled >= 65536.0) {
      return refuse(out, start, str_cat("numpress slof: value ", format_float(value),
                                        " exceeds 16 bits at scale ", format_float(fixed_point)));
    }
    const auto stored = static_cast<std::uint16_t>(scaled);
    *data++ = static_cast<std::uint8_t>(stored & 0xff);
    *data++ = static_cast<std::uint8_t>(stored >> 8);
  }
  return {};
}

Result<void> encode_pic(std::span<const double> values, std::vector<std::uint8_t>& out) {
  const std::size_t start = out.size();
  NibbleWriter writer(out);
  for (double value : values) {
    if (!(value >= 0) || !(value + 0.5 < kInt32Max)) {
      return refuse(out, start, str_cat("numpress pic: value ", format_float(value)));
    }
    writer.put_int(static_cast<std::int32_t>(value + 0.5));
  }
  return {};
}

Result<std::vector<double>> decode_linear(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) {
    return parse_error(str_cat("numpress linear: ", bytes.size(), " bytes, no scale"));
  }
  const double fixed_point = read_fixed_point(bytes);
  if (!(fixed_point > 0) || !std::isfinite(fixed_point)) {
    return parse_error(str_cat("numpress linear: scale ", format_float(fixed_point)));
  }
  std::vector<double> values;
  const std::size_t rest = bytes.size() - kHeaderSize;
  if (rest == 0) return values;
  if (rest < 4 || (rest > 4 && rest < 8)) {
    return parse_error(str_cat("numpress linear: ", rest, " bytes after the scale"));
  }
  std::int64_t previous2 = load_i32(bytes.data() + 8);
  values.push_back(static_cast<double>(previous2) / fixed_point);
  if (rest == 4) return values;
  std::int64_t previous = load_i32(bytes.data() + 12);
  values.push_back(static_cast<double>(previous) / fixed_point);
  NibbleReader reader(bytes.subspan(16));
  while (!reader.at_end()) {
    auto residual = reader.get_int();
    if (!residual) return std::unexpected(std::move(residual.error()));
    const std::int64_t value = 2 * previous - previous2 + *residual;
    if (value > (std::int64_t{1} << 52) || value < -(std::int64_t{1} << 52)) {
      return parse_error("numpress linear: prediction overflows");
    }
    values.push_back(static_cast<double>(value) / fixed_point);
    previous2 = previous;
    previous = value;
  }
  return values;
}

Result<std::vector<double>> decode_slof(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) {
    return parse_error(str_cat("numpress slof: ", bytes.size(), " bytes, no scale"));
  }
  const double fixed_point = read_fixed_point(bytes);
  if (!(fixed_point > 0) || !std::isfinite(fixed_point)) {
    return parse_error(str_cat("numpress slof: scale ", format_float(fixed_point)));
  }
  const std::size_t rest = bytes.size() - kHeaderSize;
  if (rest % 2 != 0) return parse_error(str_cat("numpress slof: odd length ", rest));
  std::vector<double> values(rest / 2);
  for (std::size_t k = 0; k < values.size(); ++k) {
    values[k] = std::exp(load_u16(bytes.data() + kHeaderSize + 2 * k) / fixed_point) - 1.0;
  }
  return values;
}

Result<std::vector<double>> decode_pic(std::span<const std::uint8_t> bytes) {
  std::vector<double> values;
  NibbleReader reader(bytes);
  while (!reader.at_end()) {
    auto value = reader.get_int();
    if (!value) return std::unexpected(std::move(value.error()));
    values.push_back(static_cast<double>(*value));
  }
  return values;
}

}  // namespace karvel::exporter::numpress
