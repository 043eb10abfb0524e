// SHA-1 over a stream of bytes (OpenSSL libcrypto), for mzML file checksums.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/error.hpp"

namespace karvel::exporter {

class Sha1 {
 public:
  using Digest = std::array<std::uint8_t, 20>;

  // Fails only when libcrypto cannot provide a SHA-1 context.
  static Result<Sha1> create();

  // Feeds more bytes; fails only on a libcrypto failure.
  Result<void> update(std::string_view bytes);
  // The digest of everything fed so far; the object is then used up.
  Result<Digest> finish();

 private:
  struct ContextDeleter {
    void operator()(void* context) const noexcept;
  };
  explicit Sha1(void* context) : context_(context) {}

  std::unique_ptr<void, ContextDeleter> context_;
};

// 40 lower-case hexadecimal digits.
std::string to_hex(const Sha1::Digest& digest);

// The digest of a whole file, read in pieces.
Result<Sha1::Digest> sha1_of_file(const std::string& path);

}  // namespace karvel::exporter
