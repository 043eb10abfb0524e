#include "export/deflate.hpp"

#include <zlib.h>

#include <limits>
#include <string>

namespace karvel::exporter {
namespace {

z_stream* as_stream(void* stream) { return static_cast<z_stream*>(stream); }

Error zlib_error(const char* what, int code) {
  return Error::io_other(std::string("zlib ") + what + " failed (" + std::to_string(code) + ")");
}

}  // namespace

void Deflater::StreamDeleter::operator()(void* stream) const noexcept {
  deflateEnd(as_stream(stream));
  delete as_stream(stream);
}

Result<Deflater> Deflater::create() {
  auto* stream = new z_stream{};
  const int status = deflateInit(stream, Z_DEFAULT_COMPRESSION);
  if (status != Z_OK) {
    delete stream;
    return std::unexpected(zlib_error("initialisation", status));
  }
  return Deflater(stream);
}

Result<std::span<const std::uint8_t>> Deflater::compress(std::span<const std::uint8_t> bytes) {
  z_stream* stream = as_stream(stream_.get());
  if (stream == nullptr) return std::unexpected(zlib_error("compression", Z_STREAM_ERROR));
  // One deflate call per 1 GiB piece keeps every length within zlib's uInt.
  constexpr std::size_t kPiece = std::size_t{1} << 30;
  if (int status = deflateReset(stream); status != Z_OK) {
    return std::unexpected(zlib_error("reset", status));
  }
  output_.resize(deflateBound(stream, bytes.size() > std::numeric_limits<uLong>::max()
                                          ? std::numeric_limits<uLong>::max()
                                          : static_cast<uLong>(bytes.size())));
  std::size_t produced = 0;
  std::size_t consumed = 0;
  for (;;) {
    const std::size_t in_piece = std::min(kPiece, bytes.size() - consumed);
    const bool last = consumed + in_piece == bytes.size();
    if (output_.size() - produced < 64) output_.resize(output_.size() * 2 + 64);
    const std::size_t out_piece = std::min(kPiece, output_.size() - produced);
    stream->next_in = const_cast<Bytef*>(bytes.data() + consumed);
    stream->avail_in = static_cast<uInt>(in_piece);
    stream->next_out = output_.data() + produced;
    stream->avail_out = static_cast<uInt>(out_piece);
    const int status = deflate(stream, last ? Z_FINISH : Z_NO_FLUSH);
    consumed += in_piece - stream->avail_in;
    produced += out_piece - stream->avail_out;
    if (status == Z_STREAM_END) break;
    if (status != Z_OK && status != Z_BUF_ERROR) return std::unexpected(zlib_error("compression", status));
  }
  return std::span<const std::uint8_t>(output_.data(), produced);
}

}  // namespace karvel::exporter
