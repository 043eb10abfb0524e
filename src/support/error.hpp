// The reader library's error value: every decoder and the reader core report
// failures as an Error; Result<T> carries either the value or the error.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

namespace karvel {

// Which data block of a scan failed: the profile block (MSProfile.bin) or
// the centroid block (MSPeak.bin).
enum class BlockKind : std::uint8_t { Profile, Centroid };

std::string_view block_kind_name(BlockKind kind) noexcept;

class Error {
 public:
  enum class Kind : std::uint8_t { Io, Parse, Scan };

  // An operating-system error, described by its errno value.
  static Error io_from_errno(int os_code);
  // An I/O failure that is not an errno (for example an unexpected end of
  // file while reading an exact range, or text that is not UTF-8).
  static Error io_other(std::string text);
  static Error parse(std::string message);
  static Error scan(std::uint32_t scan_id, BlockKind block, Error source);

  Kind kind() const noexcept { return kind_; }
  // Io: the I/O error's own text; Parse: the message; Scan: empty.
  const std::string& text() const noexcept { return text_; }
  // Io: the errno value, or 0 when the failure is not an OS error.
  int os_code() const noexcept { return os_code_; }
  std::uint32_t scan_id() const noexcept { return scan_id_; }
  BlockKind block() const noexcept { return block_; }
  // The underlying cause: the inner error of a Scan error, else nullptr.
  const Error* source() const noexcept { return source_.get(); }

  // "I/O error: …", "parse error: …" or "scanId=N: block block: <inner>".
  std::string display() const;
  // Names the variant and its fields, e.g. Parse("…") or
  // Scan { scan_id: 7, block: "profile", source: Parse("…") }.
  std::string debug() const;

 private:
  Error(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

  Kind kind_;
  BlockKind block_ = BlockKind::Profile;
  int os_code_ = 0;
  std::uint32_t scan_id_ = 0;
  std::string text_;
  // Immutable once built, so sharing it between copies is safe.
  std::shared_ptr<const Error> source_;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> parse_error(std::string message) {
  return std::unexpected(Error::parse(std::move(message)));
}

}  // namespace karvel
