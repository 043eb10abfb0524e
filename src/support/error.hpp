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

// One link in the chain of underlying causes of an error: it can be
// displayed and may have a cause of its own. Links are immutable.
class Cause {
 public:
  virtual ~Cause() = default;
  virtual std::string display() const = 0;
  virtual const Cause* source() const noexcept = 0;
};

// The I/O error under an Io error: its errno value (0 when the failure is
// not an OS error) and its own text, e.g. "No such file or directory (os
// error 2)". It is the end of the chain.
class IoCause final : public Cause {
 public:
  IoCause(int os_code, std::string text) : os_code_(os_code), text_(std::move(text)) {}
  int os_code() const noexcept { return os_code_; }
  std::string display() const override { return text_; }
  const Cause* source() const noexcept override { return nullptr; }

 private:
  int os_code_;
  std::string text_;
};

// The library's one error type. Its kind says what a caller does about it:
//   Io        the file system failed (errno and, where a file was being
//             opened or read, its path);
//   Parse     the bytes of a run are not what they should be;
//   Scan      a spectrum's block failed: the scan and block, and the
//             underlying error (any kind);
//   Argument  a caller passed a value the operation cannot take;
//   Memory    an allocation failed;
//   Internal  a fault of the library itself (an unexpected exception).
class Error final : public Cause {
 public:
  enum class Kind : std::uint8_t { Io, Parse, Scan, Argument, Memory, Internal };

  // An operating-system error, described by its errno value; `path` is the
  // file it concerns (empty when none).
  static Error io_from_errno(int os_code, std::string path = {});
  // An I/O failure that is not an errno (for example an unexpected end of
  // file while reading an exact range, or text that is not UTF-8).
  static Error io_other(std::string text);
  static Error parse(std::string message);
  static Error scan(std::uint32_t scan_id, BlockKind block, Error source);
  static Error argument(std::string message);
  static Error out_of_memory();
  static Error internal(std::string message);
  // The exception being handled (call it only inside a catch block) as an
  // error of its kind: std::bad_alloc a Memory error, anything else an
  // Internal error with its text.
  static Error of_current_exception() noexcept;

  // This Io error with `path` as its file when it names none yet; any other
  // error unchanged.
  Error at_path(const std::string& path) &&;

  Kind kind() const noexcept { return kind_; }
  // Io: the I/O error's own text; Parse, Argument, Internal: the message;
  // Memory: "out of memory"; Scan: empty.
  const std::string& text() const noexcept { return text_; }
  // Io: the errno value, or 0 when the failure is not an OS error.
  int os_code() const noexcept { return os_code_; }
  // Io: the file the failure concerns, empty when unknown.
  const std::string& path() const noexcept { return path_; }
  // The error at the end of a chain of Scan errors (this one if not Scan).
  const Error& root() const noexcept;
  std::uint32_t scan_id() const noexcept { return scan_id_; }
  BlockKind block() const noexcept { return block_; }
  // The underlying cause: the I/O error (an IoCause) of an Io error, the
  // inner Error of a Scan error, nullptr for a Parse error.
  const Cause* source() const noexcept override {
    if (inner_) return inner_.get();
    return io_.get();
  }

  // "I/O error: …", "parse error: …", "scanId=N: block block: <inner>",
  // "invalid argument: …", "out of memory" or "internal error: …". The
  // path of an Io error is not part of it.
  std::string display() const override;
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
  std::string path_;  // Io
  // Immutable once built, so sharing them between copies is safe.
  std::shared_ptr<const IoCause> io_;    // Io
  std::shared_ptr<const Error> inner_;   // Scan
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> parse_error(std::string message) {
  return std::unexpected(Error::parse(std::move(message)));
}

inline std::unexpected<Error> argument_error(std::string message) {
  return std::unexpected(Error::argument(std::move(message)));
}

}  // namespace karvel
