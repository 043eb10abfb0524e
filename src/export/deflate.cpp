#include "export/deflate.hpp"

#include <libdeflate.h>

namespace karvel::exporter {
namespace {

constexpr int kLevel = 6;

libdeflate_compressor* as_compressor(void* compressor) {
  return static_cast<libdeflate_compressor*>(compressor);
}

}  // namespace

void Deflater::CompressorDeleter::operator()(void* compressor) const noexcept {
  libdeflate_free_compressor(as_compressor(compressor));
}

Result<Deflater> Deflater::create() {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(kLevel);
  if (compressor == nullptr) return std::unexpected(Error::out_of_memory());
  return Deflater(compressor);
}

Result<std::span<const std::uint8_t>> Deflater::compress(std::span<const std::uint8_t> bytes) {
  libdeflate_compressor* compressor = as_compressor(compressor_.get());
  if (compressor == nullptr) return std::unexpected(Error::internal("libdeflate: no compressor"));
  // The bound is never too small, so compression cannot run out of room.
  output_.resize(libdeflate_zlib_compress_bound(compressor, bytes.size()));
  const std::size_t produced =
      libdeflate_zlib_compress(compressor, bytes.data(), bytes.size(), output_.data(), output_.size());
  if (produced == 0) return std::unexpected(Error::internal("libdeflate: compression failed"));
  return std::span<const std::uint8_t>(output_.data(), produced);
}

}  // namespace karvel::exporter
