#include "raw/lzf.hpp"

#include <cstring>

#include "support/format.hpp"

namespace karvel::raw::lzf {
namespace {

// Bytes of slack that the fast copy paths may write past the end of a chunk.
// They stay inside the output and are overwritten by the following chunks.
constexpr std::size_t kLiteralBlock = 32;
constexpr std::size_t kWord = 8;

inline void copy_literal(std::uint8_t* op, const std::uint8_t* ip, std::size_t run,
                         std::size_t input_left, std::size_t output_left) noexcept {
  if (input_left >= kLiteralBlock && output_left >= kLiteralBlock) {
    // run <= 32: one fixed-size copy avoids a call for every short literal.
    std::memcpy(op, ip, kLiteralBlock);
  } else {
    std::memcpy(op, ip, run);
  }
}

// Copies length bytes from ref = op - offset to op as if byte by byte in
// ascending order, so a source overlapping the destination repeats itself.
inline void copy_match(std::uint8_t* op, std::size_t offset, std::size_t length,
                       std::size_t output_left) noexcept {
  const std::uint8_t* ref = op - offset;
  if (offset == 1) {
    std::memset(op, *ref, length);
  } else if (offset >= kWord && output_left >= length + kWord) {
    // Every word read lies before the word written, so word copies equal the
    // byte-by-byte result; the last word may spill into the slack.
    for (std::size_t done = 0; done < length; done += kWord) {
      std::memcpy(op + done, ref + done, kWord);
    }
  } else {
    for (std::size_t i = 0; i < length; ++i) op[i] = ref[i];
  }
}

}  // namespace

Result<std::vector<std::uint8_t>> decompress(std::span<const std::uint8_t> input,
                                             std::uint64_t expected_len) {
  if (expected_len > kMaxDecompressedLength) {
    return parse_error(str_cat("LZF: expected decompressed length ", expected_len,
                               " exceeds cap of ", kMaxDecompressedLength));
  }
  std::vector<std::uint8_t> output(static_cast<std::size_t>(expected_len));
  auto done = decompress_into(input, output);
  if (!done) return std::unexpected(std::move(done.error()));
  return output;
}

Result<void> decompress_into(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) {
  const std::uint64_t expected_len = output.size();
  const std::uint8_t* ip = input.data();
  const std::uint8_t* const in_end = ip + input.size();
  std::uint8_t* const out_begin = output.data();
  std::uint8_t* const out_end = out_begin + output.size();
  std::uint8_t* op = out_begin;

  while (ip < in_end && op != out_end) {
    const std::size_t ctrl = *ip++;
    const std::size_t input_left = static_cast<std::size_t>(in_end - ip);
    const std::size_t output_left = static_cast<std::size_t>(out_end - op);
    if (ctrl < 32) {
      const std::size_t run = ctrl + 1;
      if (run > input_left || run > output_left) return parse_error("LZF: literal run out of bounds");
      copy_literal(op, ip, run, input_left, output_left);
      ip += run;
      op += run;
      continue;
    }
    const std::size_t produced = static_cast<std::size_t>(op - out_begin);
    const std::size_t high = (ctrl & 31) << 8;
    if (produced <= high) return parse_error("LZF: invalid back reference");
    std::size_t length = ctrl >> 5;
    if (length == 7) {
      if (ip == in_end) return parse_error("LZF: truncated length byte");
      length += *ip++;
    }
    if (ip == in_end) return parse_error("LZF: truncated reference byte");
    const std::size_t offset = high + *ip++ + 1;
    if (offset > produced) return parse_error("LZF: invalid back reference");
    length += 2;
    if (length > output_left) return parse_error("LZF: match run exceeds output bounds");
    copy_match(op, offset, length, output_left);
    op += length;
  }

  const std::size_t produced = static_cast<std::size_t>(op - out_begin);
  if (produced != expected_len) {
    return parse_error(str_cat("LZF: decompressed length ", produced, " != expected ", expected_len));
  }
  return {};
}

}  // namespace karvel::raw::lzf
