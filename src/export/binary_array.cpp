#include "export/binary_array.hpp"

#include <bit>

#include "export/base64.hpp"
#include "export/numpress.hpp"
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

Result<BinaryArrayWriter> BinaryArrayWriter::create(bool compress, NumpressSettings numpress) {
  std::optional<Deflater> deflater;
  if (compress) {
    auto made = Deflater::create();
    if (!made) return std::unexpected(std::move(made.error()));
    deflater.emplace(std::move(*made));
  }
  return BinaryArrayWriter(compress, std::move(deflater), numpress);
}

Result<void> BinaryArrayWriter::append(std::string& out, std::span<const double> values,
                                       terms::Term kind, terms::Term unit,
                                       const std::string& indent) {
  if (const Numpress codec = numpress_for(kind); codec != Numpress::None) {
    auto written = append_numpress(out, values, codec, kind, unit, indent);
    if (!written) return std::unexpected(std::move(written.error()));
    if (*written) return {};
  }
  return append_bytes(out, bytes_of(values), terms::kFloat64, kind, unit, indent);
}

Result<void> BinaryArrayWriter::append(std::string& out, std::span<const float> values,
                                       terms::Term kind, terms::Term unit,
                                       const std::string& indent) {
  if (const Numpress codec = numpress_for(kind); codec != Numpress::None) {
    widened_.assign(values.begin(), values.end());
    auto written = append_numpress(out, widened_, codec, kind, unit, indent);
    if (!written) return std::unexpected(std::move(written.error()));
    if (*written) return {};
  }
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

Numpress BinaryArrayWriter::numpress_for(terms::Term kind) const noexcept {
  if (kind.accession == terms::kMzArray.accession) return numpress_.mz;
  if (kind.accession == terms::kIntensityArray.accession) return numpress_.intensity;
  return Numpress::None;
}

Result<bool> BinaryArrayWriter::append_numpress(std::string& out, std::span<const double> values,
                                                Numpress codec, terms::Term kind, terms::Term unit,
                                                const std::string& indent) {
  numpress_bytes_.clear();
  // One value: the plain encoding. Some numpress decoders refuse an array
  // of one value (linear: the scale and a single integer).
  if (values.size() == 1) return false;
  Result<void> encoded;
  terms::Term compression = terms::kNoCompression;
  switch (codec) {
    case Numpress::Linear: {
      compression = compress_ ? terms::kNumpressLinearZlib : terms::kNumpressLinear;
      if (values.empty()) break;
      const double scale = numpress::linear_fixed_point(values, numpress_.mz_ppm);
      if (scale == 0) return false;
      encoded = numpress::encode_linear(values, scale, numpress_bytes_);
      break;
    }
    case Numpress::Slof:
      compression = compress_ ? terms::kNumpressSlofZlib : terms::kNumpressSlof;
      if (values.empty()) break;
      encoded = numpress::encode_slof(values, numpress::slof_fixed_point(values), numpress_bytes_);
      break;
    case Numpress::Pic:
      compression = compress_ ? terms::kNumpressPicZlib : terms::kNumpressPic;
      encoded = numpress::encode_pic(values, numpress_bytes_);
      break;
    case Numpress::None:
      return false;
  }
  if (!encoded) return false;  // not representable: the plain encoding follows

  const std::string inner = indent + "  ";
  out.append(indent).append("<binaryDataArray encodedLength=\"");
  if (values.empty()) {
    // No values: no bytes at all, not even a numpress header or an empty
    // zlib stream, which some readers refuse.
    out.append("0\">\n");
    append_cv_param(out, inner, terms::kFloat64);
    append_cv_param(out, inner, compression);
    append_cv_param(out, inner, kind, {}, unit);
    out.append(inner).append("<binary></binary>\n");
    out.append(indent).append("</binaryDataArray>\n");
    return true;
  }
  std::span<const std::uint8_t> stored = numpress_bytes_;
  if (compress_) {
    auto compressed = deflater_->compress(stored);
    if (!compressed) return std::unexpected(std::move(compressed.error()));
    stored = *compressed;
  }
  append_number(out, std::uint64_t{base64_length(stored.size())});
  out.append("\">\n");
  append_cv_param(out, inner, terms::kFloat64);
  append_cv_param(out, inner, compression);
  append_cv_param(out, inner, kind, {}, unit);
  out.append(inner).append("<binary>");
  base64_append(out, stored);
  out.append("</binary>\n");
  out.append(indent).append("</binaryDataArray>\n");
  return true;
}

}  // namespace karvel::exporter
