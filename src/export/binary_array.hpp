// One <binaryDataArray> element: the values as little-endian bytes, zlib
// compressed or not, base64 encoded, with the terms that describe them. An
// empty array is an empty <binary> with encodedLength 0 (no zlib stream).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "export/deflate.hpp"
#include "export/mzml_terms.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

class BinaryArrayWriter {
 public:
  // compress: zlib when true, no compression otherwise.
  static Result<BinaryArrayWriter> create(bool compress);

  // Appends the element for values of the given kind (m/z, intensity or
  // time array) and unit.
  Result<void> append(std::string& out, std::span<const double> values, terms::Term kind,
                      terms::Term unit, const std::string& indent);
  Result<void> append(std::string& out, std::span<const float> values, terms::Term kind,
                      terms::Term unit, const std::string& indent);

 private:
  BinaryArrayWriter(bool compress, std::optional<Deflater> deflater)
      : compress_(compress), deflater_(std::move(deflater)) {}
  Result<void> append_bytes(std::string& out, std::span<const std::uint8_t> bytes,
                            terms::Term type, terms::Term kind, terms::Term unit,
                            const std::string& indent);

  bool compress_;
  std::optional<Deflater> deflater_;
};

}  // namespace karvel::exporter
