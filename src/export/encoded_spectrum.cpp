#include "export/encoded_spectrum.hpp"

#include <utility>

namespace karvel::exporter {

Result<EncodedSpectrum> encode_spectrum(const reader::Reader& reader, std::size_t scan_position,
                                        std::size_t position, reader::BlockChoice choice,
                                        IntensityBits intensity_bits, BinaryArrayWriter& arrays,
                                        reader::BlockReaders* readers,
                                        const reader::CentroidOptions& centroid) {
  auto spectrum = reader.spectrum(scan_position, choice, {}, readers, centroid, reader::Extra::Skip);
  if (!spectrum) return std::unexpected(std::move(spectrum.error()));

  EncodedSpectrum encoded;
  if (auto appended = append_spectrum(encoded.text, *spectrum, position, intensity_bits, arrays); !appended) {
    return std::unexpected(std::move(appended.error()));
  }
  encoded.ms1 = reader::ms1_point(*spectrum);
  encoded.native_id = std::move(spectrum->native_id);
  return encoded;
}

}  // namespace karvel::exporter
