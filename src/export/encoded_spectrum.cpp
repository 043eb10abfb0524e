#include "export/encoded_spectrum.hpp"

#include <utility>

namespace karvel::exporter {

Result<EncodedSpectrum> encode_spectrum(const reader::Reader& reader, std::size_t scan_position,
                                        std::size_t position, PeakMode mode,
                                        IntensityBits intensity_bits, BinaryArrayWriter& arrays) {
  const raw::msscan::ScanRecord& record = reader.scan().records[scan_position];
  Result<morvane_core::types::SpectrumRecord> spectrum;
  if (mode == PeakMode::Centroid && record.profile_params && record.centroid_params) {
    // Without its profile block the reader decodes the scan's centroids.
    raw::msscan::ScanRecord centroid_only = record;
    centroid_only.profile_params.reset();
    spectrum = reader.spectrum(scan_position, centroid_only, reader.analyzer());
  } else {
    spectrum = reader.spectrum(scan_position, record, reader.analyzer());
  }
  if (!spectrum) return std::unexpected(std::move(spectrum.error()));

  EncodedSpectrum encoded;
  if (auto appended = append_spectrum(encoded.text, *spectrum, position, intensity_bits, arrays); !appended) {
    return std::unexpected(std::move(appended.error()));
  }
  encoded.native_id = std::move(spectrum->native_id);
  if (spectrum->ms_level == 1) {
    encoded.ms1 = true;
    encoded.time_sec = spectrum->retention_time_sec;
    encoded.total_ion_current = morvane_core::types::effective_tic(*spectrum);
    const auto base_peak = morvane_core::types::effective_base_peak(*spectrum);
    encoded.base_peak_intensity = base_peak ? base_peak->second : 0.0;
  }
  return encoded;
}

}  // namespace karvel::exporter
