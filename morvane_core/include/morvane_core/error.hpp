// The record model's error value. Sources pass OS I/O failures through as
// Io and wrap every other failure of their own as Vendor.
#pragma once

#include <memory>
#include <string>

namespace morvane_core::error {

// An operating-system I/O error: its code (0 when none) and its text.
struct IoError {
  int code = 0;
  std::string text;
};

// Any source-specific error that can be displayed. Implementations are
// immutable, so a shared pointer to one may cross threads.
class VendorError {
 public:
  virtual ~VendorError() = default;
  virtual std::string display() const = 0;
};

class Error {
 public:
  enum class Kind { Io, Vendor, UnsupportedFormat, Conformance };

  static Error io(IoError error);
  static Error vendor(std::shared_ptr<const VendorError> error);
  static Error unsupported_format(std::string text);
  static Error conformance(std::string text);

  Kind kind() const noexcept { return kind_; }
  const IoError& io_error() const noexcept { return io_; }
  const VendorError* vendor_error() const noexcept { return vendor_.get(); }

  // "I/O error: …", "vendor parser error: …",
  // "unsupported or unrecognized format: …" or "conformance violation: …".
  std::string display() const;

 private:
  explicit Error(Kind kind) : kind_(kind) {}

  Kind kind_;
  IoError io_;
  std::shared_ptr<const VendorError> vendor_;
  std::string text_;
};

}  // namespace morvane_core::error
