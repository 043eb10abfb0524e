// Vendor-neutral records: plain values, moved from producer to consumer.
// Optional fields are std::optional; `extra` maps iterate in byte order of
// their keys (std::string compares bytes as unsigned char).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "morvane_core/enums.hpp"

namespace morvane_core::types {

using ExtraMap = std::map<std::string, std::string>;

struct CvTerm {
  std::string accession;
  std::string name;

  friend bool operator==(const CvTerm&, const CvTerm&) = default;
};

struct Precursor {
  std::optional<double> target_mz;
  std::optional<double> selected_mz;
  std::optional<double> isolation_width;
  std::optional<std::int32_t> charge;
  std::optional<double> intensity;
  std::optional<double> collision_energy;
  bool ce_is_nce = false;
  std::optional<std::string> precursor_native_id;
  std::optional<enums::Activation> activation;
  std::optional<enums::Analyzer> analyzer;
  std::optional<double> ccs;
};

struct SpectrumRecord {
  std::uint64_t index = 0;
  std::string native_id;
  std::uint32_t scan_number = 0;
  std::uint32_t ms_level = 0;
  std::optional<enums::Polarity> polarity;
  std::optional<enums::ScanMode> scan_mode;
  double retention_time_sec = 0;
  std::vector<double> mz;
  std::vector<float> intensity;
  std::optional<double> low_mz;
  std::optional<double> high_mz;
  std::optional<double> total_ion_current;
  std::optional<double> base_peak_mz;
  std::optional<double> base_peak_intensity;
  std::optional<std::string> filter;
  std::optional<enums::Analyzer> analyzer;
  std::optional<double> faims_cv;
  std::optional<double> inv_mobility;
  std::optional<std::vector<float>> inv_mobility_per_peak;
  std::optional<double> ion_injection_time_ms;
  std::optional<std::uint32_t> acquisition_event_id;
  std::optional<Precursor> precursor;
  ExtraMap extra;
};

// Replaces the peak lists (the caller keeps them of equal length).
SpectrumRecord with_peaks(SpectrumRecord record, std::vector<double> mz,
                          std::vector<float> intensity);
// Replaces the whole extra map.
SpectrumRecord with_extra_map(SpectrumRecord record, ExtraMap extra);

// The reported TIC when present, else the sum of the intensities in index
// order starting from -0.0.
double effective_tic(const SpectrumRecord& record);
// The reported (m/z, intensity) when both are present, else the first point
// of strictly greatest intensity; absent for a record without points.
std::optional<std::pair<double, double>> effective_base_peak(const SpectrumRecord& record);

struct ChromatogramRecord {
  std::uint64_t index = 0;
  std::string id;
  std::optional<CvTerm> chromatogram_type;
  std::optional<double> precursor_mz;
  std::optional<double> product_mz;
  std::vector<float> time_sec;
  std::vector<float> intensity;
};

struct RunMetadata {
  std::string source_file_name;
  CvTerm source_file_format;
  CvTerm native_id_format;
  CvTerm instrument;
  std::optional<std::string> instrument_serial_number;
  std::string software_name;
  std::string software_version;
  std::optional<std::string> acquisition_software_name;
  std::optional<std::string> acquisition_software_version;
  std::optional<std::string> start_timestamp;
  std::optional<enums::MobilityArrayKind> mobility_array_kind;
  std::vector<enums::Analyzer> analyzers;
  ExtraMap extra;

  static RunMetadata create(std::string source_file_name, CvTerm source_file_format,
                            CvTerm native_id_format, CvTerm instrument,
                            std::string software_name, std::string software_version);
};

RunMetadata with_extra_map(RunMetadata metadata, ExtraMap extra);

}  // namespace morvane_core::types
