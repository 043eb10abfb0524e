// One <binaryDataArray> element: the values as little-endian bytes, zlib
// compressed or not, base64 encoded, with the terms that describe them. An
// empty array is an empty <binary> with encodedLength 0 (no zlib stream).
// Optionally the m/z and intensity arrays are MS-Numpress encoded (with
// zlib on top when compressing): such an array decodes to 64-bit floats, so
// it carries the 64-bit float term and the numpress compression term. An
// array numpress cannot represent (numpress.hpp) keeps the plain encoding.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "export/deflate.hpp"
#include "export/mzml_terms.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

enum class Numpress : std::uint8_t { None, Linear, Slof, Pic };

// The m/z error bound of the default linear scale, in parts per million of
// an array's largest m/z.
inline constexpr double kDefaultNumpressMzPpm = 0.1;

struct NumpressSettings {
  Numpress mz = Numpress::None;         // None or Linear
  Numpress intensity = Numpress::None;  // None, Slof or Pic
  // The linear scale bounds each m/z's error by mz_ppm·1e-6 times the
  // array's largest m/z, for any range of m/z values (mz_ppm >= 0.001).
  double mz_ppm = kDefaultNumpressMzPpm;

  bool any() const noexcept { return mz != Numpress::None || intensity != Numpress::None; }
};

class BinaryArrayWriter {
 public:
  // compress: zlib when true, no compression otherwise. numpress: for the
  // m/z and intensity arrays; time arrays stay plain.
  static Result<BinaryArrayWriter> create(bool compress, NumpressSettings numpress = {});

  // Appends the element for values of the given kind (m/z, intensity or
  // time array) and unit.
  Result<void> append(std::string& out, std::span<const double> values, terms::Term kind,
                      terms::Term unit, const std::string& indent);
  Result<void> append(std::string& out, std::span<const float> values, terms::Term kind,
                      terms::Term unit, const std::string& indent);

 private:
  BinaryArrayWriter(bool compress, std::optional<Deflater> deflater, NumpressSettings numpress)
      : compress_(compress), deflater_(std::move(deflater)), numpress_(numpress) {}
  Result<void> append_bytes(std::string& out, std::span<const std::uint8_t> bytes,
                            terms::Term type, terms::Term kind, terms::Term unit,
                            const std::string& indent);

  // The numpress encoding for an array of this kind, None for plain.
  Numpress numpress_for(terms::Term kind) const noexcept;
  // Appends the numpress element when the values encode; false (nothing
  // appended) when they do not, and for an array of one value.
  Result<bool> append_numpress(std::string& out, std::span<const double> values, Numpress codec,
                               terms::Term kind, terms::Term unit, const std::string& indent);

  bool compress_;
  std::optional<Deflater> deflater_;
  NumpressSettings numpress_;
  std::vector<std::uint8_t> numpress_bytes_;
  std::vector<double> widened_;
};

}  // namespace karvel::exporter
