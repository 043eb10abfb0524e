// LZF decompression (the liblzf stream format, no header or checksum).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/error.hpp"

namespace karvel::raw::lzf {

inline constexpr std::uint64_t kMaxDecompressedLength = 536870912;  // 512 MiB

// Exactly expected_len bytes, or a parse error; never reads or writes outside
// the input or the output.
Result<std::vector<std::uint8_t>> decompress(std::span<const std::uint8_t> input,
                                             std::uint64_t expected_len);

// The same into output, whose size is the expected length (at most
// kMaxDecompressedLength; the caller checks). On failure output holds
// unspecified bytes.
Result<void> decompress_into(std::span<const std::uint8_t> input, std::span<std::uint8_t> output);

}  // namespace karvel::raw::lzf
