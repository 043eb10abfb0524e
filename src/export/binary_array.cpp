#include "export/binary_array.hpp"

#include <bit>

#include "export/base64.hpp"
#include "export/xml_params.hpp"
#include "export/xml_text.hpp"

namespace karvel::exporter {

static_assert(std::endian::native == std::endian::little,
              "mzML arrays are little-endian; this writer copies native bytes");

namespace {

template <class T>
std::span<const std::uint8_t> bytes_of(std::span<const T> values) {
  return {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()};
}

}  // namespace

Result<BinaryArrayWriter> BinaryArrayWriter::create(bool compress) {
  std::optional<Deflater> deflater;
  if (compress) {
    auto made = Deflater::create();
    if (!made) return std::unexpected(std::move(made.error()));
    deflater.emplace(std::move(*made));
  }
  return BinaryArrayWriter(compress, std::move(deflater));
}

Result<void> BinaryArrayWriter::append(std::string& out, std::span<const double> values,
                                       terms::Term kind, terms::Term unit,
                                       const std::string& indent) {
  return append_bytes(out, bytes_of(values), terms::kFloat64, kind, unit, indent);
}

Result<void> BinaryArrayWriter::append(std::string& out, std::span<const float> values,
                                       terms::Term kind, terms::Term unit,
                                       const std::string& indent) {
  return append_bytes(out, bytes_of(values), terms::kFloat32, kind, unit, indent);
}

Result<void> BinaryArrayWriter::append_bytes(std::string& out, std::span<const std::uint8_t> bytes,
                                             terms::Term type, terms::Term kind, terms::Term unit,
                                             const std::string& indent) {
  // An empty array is written as an empty <binary/> with encodedLength 0 under
  // either compression term: a zlib stream of nothing is valid zlib, but common
  // mzML readers fail to inflate it, while an empty element reads everywhere.
  std::span<const std::uint8_t> stored = bytes;
  if (compress_ && !bytes.empty()) {
    auto compressed = deflater_->compress(bytes);
    if (!compressed) return std::unexpected(std::move(compressed.error()));
    stored = *compressed;
  }
  const std::string inner = indent + "  ";
  out.append(indent).append("<binaryDataArray encodedLength=\"");
  append_number(out, std::uint64_t{base64_length(stored.size())});
  out.append("\">\n");
  append_cv_param(out, inner, type);
  append_cv_param(out, inner, compress_ ? terms::kZlibCompression : terms::kNoCompression);
  append_cv_param(out, inner, kind, {}, unit);
  out.append(inner).append("<binary>");
  base64_append(out, stored);
  out.append("</binary>\n");
  out.append(indent).append("</binaryDataArray>\n");
  return {};
}

}  // namespace karvel::exporter
