// zlib compression (the zlib format, RFC 1950) of one buffer at a time, with
// the compressor state and the output buffer reused between calls.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "support/error.hpp"

namespace karvel::exporter {

class Deflater {
 public:
  // zlib's default level, the level other mzML writers use.
  static Result<Deflater> create();

  // The compressed form of bytes; valid until the next call.
  Result<std::span<const std::uint8_t>> compress(std::span<const std::uint8_t> bytes);

 private:
  struct StreamDeleter {
    void operator()(void* stream) const noexcept;
  };
  explicit Deflater(void* stream) : stream_(stream) {}

  std::unique_ptr<void, StreamDeleter> stream_;
  std::vector<std::uint8_t> output_;
};

}  // namespace karvel::exporter
