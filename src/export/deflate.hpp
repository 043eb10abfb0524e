// zlib-format compression (RFC 1950) of one buffer at a time, with libdeflate
// (whole-buffer DEFLATE, about twice zlib's speed at the same level and
// size); the compressor and the output buffer are reused between calls.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "support/error.hpp"

namespace karvel::exporter {

class Deflater {
 public:
  // Level 6, zlib's default and the level other mzML writers use.
  static Result<Deflater> create();

  // The compressed form of bytes; valid until the next call.
  Result<std::span<const std::uint8_t>> compress(std::span<const std::uint8_t> bytes);

 private:
  struct CompressorDeleter {
    void operator()(void* compressor) const noexcept;
  };
  explicit Deflater(void* compressor) : compressor_(compressor) {}

  std::unique_ptr<void, CompressorDeleter> compressor_;
  std::vector<std::uint8_t> output_;
};

}  // namespace karvel::exporter
