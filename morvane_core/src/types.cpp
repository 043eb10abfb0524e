#include "morvane_core/types.hpp"

namespace morvane_core::types {

SpectrumRecord with_peaks(SpectrumRecord record, std::vector<double> mz,
                          std::vector<float> intensity) {
  record.mz = std::move(mz);
  record.intensity = std::move(intensity);
  return record;
}

SpectrumRecord with_extra_map(SpectrumRecord record, ExtraMap extra) {
  record.extra = std::move(extra);
  return record;
}

double effective_tic(const SpectrumRecord& record) {
  if (record.total_ion_current) return *record.total_ion_current;
  double sum = -0.0;
  for (float value : record.intensity) sum += static_cast<double>(value);
  return sum;
}

std::optional<std::pair<double, double>> effective_base_peak(const SpectrumRecord& record) {
  if (record.base_peak_mz && record.base_peak_intensity) {
    return std::pair(*record.base_peak_mz, *record.base_peak_intensity);
  }
  if (record.intensity.empty()) return std::nullopt;
  std::size_t best = 0;
  for (std::size_t i = 1; i < record.intensity.size(); ++i) {
    // An ordered comparison: a NaN never replaces the best.
    if (record.intensity[i] > record.intensity[best]) best = i;
  }
  // The producer keeps mz as long as intensity; guard anyway.
  const double mz = best < record.mz.size() ? record.mz[best] : 0.0;
  return std::pair(mz, static_cast<double>(record.intensity[best]));
}

RunMetadata RunMetadata::create(std::string source_file_name, CvTerm source_file_format,
                                CvTerm native_id_format, CvTerm instrument,
                                std::string software_name, std::string software_version) {
  RunMetadata metadata;
  metadata.source_file_name = std::move(source_file_name);
  metadata.source_file_format = std::move(source_file_format);
  metadata.native_id_format = std::move(native_id_format);
  metadata.instrument = std::move(instrument);
  metadata.software_name = std::move(software_name);
  metadata.software_version = std::move(software_version);
  return metadata;
}

RunMetadata with_extra_map(RunMetadata metadata, ExtraMap extra) {
  metadata.extra = std::move(extra);
  return metadata;
}

}  // namespace morvane_core::types
