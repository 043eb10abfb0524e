// Standard base64 (RFC 4648 alphabet, '=' padding, no line breaks), written
// straight into a caller's text buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace karvel::exporter {

// Characters that base64_append adds for `bytes` input bytes.
constexpr std::size_t base64_length(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

// Appends the encoding of bytes to out.
void base64_append(std::string& out, std::span<const std::uint8_t> bytes);

}  // namespace karvel::exporter
