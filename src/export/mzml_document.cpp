#include "export/mzml_document.hpp"

#include <algorithm>

#include "export/xml_params.hpp"
#include "reader/scan_row.hpp"
#include "export/xml_text.hpp"
#include "support/format.hpp"

namespace karvel::exporter {
namespace {

using morvane_core::enums::Polarity;
using morvane_core::enums::ScanMode;
using morvane_core::types::Precursor;
using morvane_core::types::SpectrumRecord;

constexpr std::string_view kSoftwareId = "karvel";
constexpr std::string_view kSourceFileId = "scan_table";
constexpr std::string_view kInstrumentId = "IC1";
constexpr std::string_view kProcessingId = "conversion";
constexpr std::string_view kSkippedSpectrum = "skipped spectrum";
constexpr std::string_view kIntegrityEvent = "integrity event";

// Run ids are xs:IDs: the data folder's name without its ".d".
std::string run_id(std::string_view folder_name) {
  if (folder_name.size() > 2 && folder_name.ends_with(".d")) folder_name.remove_suffix(2);
  return to_xml_id(folder_name);
}

void append_attribute(std::string& out, std::string_view name, std::string_view value) {
  out.append(" ").append(name).append("=\"");
  append_xml_escaped(out, value);
  out.push_back('"');
}

void append_count_attribute(std::string& out, std::string_view name, std::uint64_t value) {
  out.append(" ").append(name).append("=\"");
  append_number(out, value);
  out.push_back('"');
}

void append_file_description(std::string& out, const RunDescription& run) {
  out.append("    <fileDescription>\n      <fileContent>\n");
  // fileContent needs a term even for a run without spectra.
  if (run.has_ms1 || !(run.has_msn || run.has_unstated_level)) append_cv_param(out, "        ", terms::kMs1Spectrum);
  if (run.has_msn) append_cv_param(out, "        ", terms::kMsnSpectrum);
  if (run.has_unstated_level) append_cv_param(out, "        ", terms::kMassSpectrum);
  out.append("      </fileContent>\n      <sourceFileList count=\"1\">\n        <sourceFile");
  append_attribute(out, "id", kSourceFileId);
  append_attribute(out, "name", run.source_name);
  append_attribute(out, "location", run.source_location);
  out.append(">\n");
  const auto& metadata = run.metadata;
  append_cv_param(out, "          ", {metadata.source_file_format.accession, metadata.source_file_format.name});
  append_cv_param(out, "          ", {metadata.native_id_format.accession, metadata.native_id_format.name});
  if (!run.source_sha1.empty()) append_cv_param(out, "          ", terms::kSha1, run.source_sha1);
  out.append("        </sourceFile>\n      </sourceFileList>\n    </fileDescription>\n");
}

void append_software(std::string& out, const RunDescription& run) {
  out.append("    <softwareList count=\"1\">\n      <software");
  append_attribute(out, "id", kSoftwareId);
  append_attribute(out, "version", run.metadata.software_version);
  out.append(">\n");
  append_cv_param(out, "        ", terms::kCustomSoftware, run.metadata.software_name);
  out.append("      </software>\n    </softwareList>\n");
}

void append_instrument(std::string& out, const RunDescription& run) {
  const auto& metadata = run.metadata;
  out.append("    <instrumentConfigurationList count=\"1\">\n      <instrumentConfiguration");
  append_attribute(out, "id", kInstrumentId);
  out.append(">\n");
  const terms::Term model =
      terms::instrument_model_term(metadata.instrument, metadata.source_file_format);
  append_cv_param(out, "        ", model);
  if (metadata.instrument_serial_number) {
    append_cv_param(out, "        ", terms::kSerialNumber, *metadata.instrument_serial_number);
  }
  if (model.accession != metadata.instrument.accession) {
    // The run's own term, kept for readers that know it.
    append_user_param(out, "        ", "instrument model",
                      metadata.instrument.accession + " " + metadata.instrument.name);
  }
  out.append("        <componentList count=\"3\">\n          <source order=\"1\">\n");
  append_cv_param(out, "            ", terms::kIonizationType);
  out.append("          </source>\n          <analyzer order=\"2\">\n");
  append_cv_param(out, "            ", terms::analyzer_term(run.analyzer));
  out.append("          </analyzer>\n          <detector order=\"3\">\n");
  append_cv_param(out, "            ", terms::kDetectorType);
  out.append("          </detector>\n        </componentList>\n");
  out.append("      </instrumentConfiguration>\n    </instrumentConfigurationList>\n");
}

void append_peak_picking(std::string& out, const PeakPickingStep& step) {
  out.append("        <processingMethod order=\"1\"");
  append_attribute(out, "softwareRef", kSoftwareId);
  out.append(">\n");
  constexpr std::string_view indent = "          ";
  append_cv_param(out, indent, terms::kPeakPicking);
  for (const auto& [name, value] : peak_picking_params(step)) append_user_param(out, indent, name, value);
  out.append("        </processingMethod>\n");
}

void append_processing(std::string& out, const RunDescription& run) {
  out.append("    <dataProcessingList count=\"1\">\n      <dataProcessing");
  append_attribute(out, "id", kProcessingId);
  out.append(">\n        <processingMethod order=\"0\"");
  append_attribute(out, "softwareRef", kSoftwareId);
  out.append(">\n");
  append_cv_param(out, "          ", terms::kConversionToMzml);
  out.append("        </processingMethod>\n");
  if (run.peak_picking) append_peak_picking(out, *run.peak_picking);
  out.append("      </dataProcessing>\n    </dataProcessingList>\n");
}

void append_run_start(std::string& out, const RunDescription& run) {
  out.append("    <run");
  append_attribute(out, "id", run_id(run.metadata.source_file_name));
  append_attribute(out, "defaultInstrumentConfigurationRef", kInstrumentId);
  append_attribute(out, "defaultSourceFileRef", kSourceFileId);
  // The acquisition time as stored, when it is a valid xs:dateTime.
  const auto& start = run.metadata.start_timestamp;
  if (start && is_xml_date_time(*start)) append_attribute(out, "startTimeStamp", *start);
  out.append(">\n");
  for (const reader::IntegrityEvent& event : run.integrity) {
    append_user_param(out, "      ", kIntegrityEvent,
                      str_cat(reader::integrity_kind_name(event.kind), ": ", event.count, " ",
                              reader::integrity_kind_summary(event.kind), "; first: ", event.first));
  }
  for (const SkippedSpectrum& skipped : run.skipped) {
    append_user_param(out, "      ", kSkippedSpectrum, str_cat(skipped.native_id, ": ", skipped.reason));
  }
  out.append("      <spectrumList");
  append_count_attribute(out, "count", run.spectrum_count);
  append_attribute(out, "defaultDataProcessingRef", kProcessingId);
  out.append(">\n");
}

void append_summary(std::string& out, const SpectrumRecord& spectrum) {
  constexpr std::string_view indent = "          ";
  append_cv_number(out, indent, terms::kTotalIonCurrent,
                   morvane_core::types::effective_tic(spectrum));
  if (auto base_peak = morvane_core::types::effective_base_peak(spectrum)) {
    append_cv_number(out, indent, terms::kBasePeakMz, base_peak->first, terms::kMz);
    append_cv_number(out, indent, terms::kBasePeakIntensity, base_peak->second,
                     terms::kDetectorCounts);
  }
  if (!spectrum.mz.empty()) {
    const auto [lowest, highest] = std::minmax_element(spectrum.mz.begin(), spectrum.mz.end());
    append_cv_number(out, indent, terms::kLowestObservedMz, *lowest, terms::kMz);
    append_cv_number(out, indent, terms::kHighestObservedMz, *highest, terms::kMz);
  }
}

void append_scan_list(std::string& out, const SpectrumRecord& spectrum) {
  out.append("          <scanList count=\"1\">\n");
  append_cv_param(out, "            ", terms::kNoCombination);
  out.append("            <scan>\n");
  append_cv_number(out, "              ", terms::kScanStartTime, spectrum.retention_time_sec,
                   terms::kSecond);
  if (spectrum.low_mz && spectrum.high_mz) {
    out.append("              <scanWindowList count=\"1\">\n                <scanWindow>\n");
    append_cv_number(out, "                  ", terms::kScanWindowLower, *spectrum.low_mz, terms::kMz);
    append_cv_number(out, "                  ", terms::kScanWindowUpper, *spectrum.high_mz, terms::kMz);
    out.append("                </scanWindow>\n              </scanWindowList>\n");
  }
  out.append("            </scan>\n          </scanList>\n");
}

void append_precursor(std::string& out, const Precursor& precursor) {
  out.append("          <precursorList count=\"1\">\n            <precursor>\n");
  if (precursor.target_mz) {
    out.append("              <isolationWindow>\n");
    constexpr std::string_view indent = "                ";
    append_cv_number(out, indent, terms::kIsolationTarget, *precursor.target_mz, terms::kMz);
    if (precursor.isolation_width) {
      append_cv_number(out, indent, terms::kIsolationLowerOffset, *precursor.isolation_width / 2, terms::kMz);
      append_cv_number(out, indent, terms::kIsolationUpperOffset, *precursor.isolation_width / 2, terms::kMz);
    }
    out.append("              </isolationWindow>\n");
  }
  const std::optional<double> selected = reader::precursor_mz(precursor);
  if (selected) {
    out.append("              <selectedIonList count=\"1\">\n                <selectedIon>\n");
    constexpr std::string_view indent = "                  ";
    append_cv_number(out, indent, terms::kSelectedIonMz, *selected, terms::kMz);
    if (precursor.charge) append_cv_integer(out, indent, terms::kChargeState, *precursor.charge);
    if (precursor.intensity) {
      append_cv_number(out, indent, terms::kPeakIntensity, *precursor.intensity, terms::kDetectorCounts);
    }
    out.append("                </selectedIon>\n              </selectedIonList>\n");
  }
  out.append("              <activation>\n");
  append_cv_param(out, "                ", terms::activation_term(precursor.activation));
  if (precursor.collision_energy) {
    if (precursor.ce_is_nce) {
      append_cv_number(out, "                ", terms::kNormalizedCollisionEnergy,
                       *precursor.collision_energy, terms::kPercent);
    } else {
      append_cv_number(out, "                ", terms::kCollisionEnergy, *precursor.collision_energy,
                       terms::kElectronvolt);
    }
  }
  out.append("              </activation>\n            </precursor>\n          </precursorList>\n");
}

Result<void> append_intensities(std::string& out, const std::vector<float>& values,
                                IntensityBits bits, BinaryArrayWriter& arrays,
                                const std::string& indent) {
  if (bits == IntensityBits::Float32) {
    return arrays.append(out, std::span<const float>(values), terms::kIntensityArray,
                         terms::kDetectorCounts, indent);
  }
  // Widened into memory the thread keeps from one spectrum to the next.
  thread_local std::vector<double> widened;
  widened.assign(values.begin(), values.end());
  return arrays.append(out, std::span<const double>(widened), terms::kIntensityArray,
                       terms::kDetectorCounts, indent);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> peak_picking_params(const PeakPickingStep& step) {
  std::string snr;
  append_number(snr, step.snr);
  std::string levels;
  append_number(levels, std::uint64_t{step.min_ms_level});
  levels.append("-");
  if (step.max_ms_level != UINT32_MAX) append_number(levels, std::uint64_t{step.max_ms_level});
  return {
      {"peak picking mode", step.mode},
      {"peak picking algorithm", "local maxima; apex of a Gaussian fitted to the top on log intensities"},
      {"peak picking signal-to-noise threshold", std::move(snr)},
      {"peak picking noise level", "median of all points; on a zeroed baseline, the low 5% of the positive values"},
      {"peak picking single-point spikes", step.keep_spikes ? "kept" : "dropped"},
      {"peak picking ms levels", std::move(levels)},
      {"peak picking reported intensity", "apex height"},
  };
}

void append_header(std::string& out, const RunDescription& run) {
  out.append(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<indexedmzML xmlns=\"http://psi.hupo.org/ms/mzml\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
      "http://psidev.info/files/ms/mzML/xsd/mzML1.1.2_idx.xsd\">\n"
      "  <mzML xmlns=\"http://psi.hupo.org/ms/mzml\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://psi.hupo.org/ms/mzml "
      "http://psidev.info/files/ms/mzML/xsd/mzML1.1.0.xsd\"");
  append_attribute(out, "id", run_id(run.metadata.source_file_name));
  out.append(
      " version=\"1.1.0\">\n"
      "    <cvList count=\"2\">\n"
      "      <cv id=\"MS\" fullName=\"Proteomics Standards Initiative Mass Spectrometry Ontology\" "
      "URI=\"https://raw.githubusercontent.com/HUPO-PSI/psi-ms-CV/master/psi-ms.obo\"/>\n"
      "      <cv id=\"UO\" fullName=\"Unit Ontology\" "
      "URI=\"https://raw.githubusercontent.com/bio-ontology-research-group/unit-ontology/master/unit.obo\"/>\n"
      "    </cvList>\n");
  append_file_description(out, run);
  append_software(out, run);
  append_instrument(out, run);
  append_processing(out, run);
  append_run_start(out, run);
}

Result<void> append_spectrum(std::string& out, const SpectrumRecord& spectrum, std::size_t position,
                             IntensityBits intensity_bits, BinaryArrayWriter& arrays) {
  out.append("<spectrum");
  append_count_attribute(out, "index", position);
  append_attribute(out, "id", spectrum.native_id);
  append_count_attribute(out, "defaultArrayLength", spectrum.mz.size());
  out.append(">\n");
  constexpr std::string_view indent = "          ";
  // A scan of level 0 states no MS level: a plain mass spectrum, no level.
  if (reader::is_ms1(spectrum.ms_level)) {
    append_cv_integer(out, indent, terms::kMsLevel, spectrum.ms_level);
    append_cv_param(out, indent, terms::kMs1Spectrum);
  } else if (reader::is_msn(spectrum.ms_level)) {
    append_cv_integer(out, indent, terms::kMsLevel, spectrum.ms_level);
    append_cv_param(out, indent, terms::kMsnSpectrum);
  } else {
    append_cv_param(out, indent, terms::kMassSpectrum);
  }
  if (spectrum.polarity) {
    append_cv_param(out, indent,
                    *spectrum.polarity == Polarity::Positive ? terms::kPositiveScan : terms::kNegativeScan);
  }
  append_cv_param(out, indent,
                  spectrum.scan_mode == ScanMode::Profile ? terms::kProfileSpectrum : terms::kCentroidSpectrum);
  append_summary(out, spectrum);
  append_scan_list(out, spectrum);
  if (spectrum.precursor) append_precursor(out, *spectrum.precursor);
  out.append("          <binaryDataArrayList count=\"2\">\n");
  const std::string array_indent = "            ";
  if (auto written = arrays.append(out, std::span<const double>(spectrum.mz), terms::kMzArray,
                                   terms::kMz, array_indent);
      !written) {
    return written;
  }
  if (auto written = append_intensities(out, spectrum.intensity, intensity_bits, arrays, array_indent);
      !written) {
    return written;
  }
  out.append("          </binaryDataArrayList>\n        </spectrum>\n");
  return {};
}

void append_spectrum_list_end(std::string& out, bool chromatograms_follow) {
  out.append("      </spectrumList>\n");
  if (chromatograms_follow) {
    out.append("      <chromatogramList count=\"2\"");
    append_attribute(out, "defaultDataProcessingRef", kProcessingId);
    out.append(">\n");
  }
}

Result<void> append_chromatogram(std::string& out, std::size_t position, std::string_view id,
                                 terms::Term type, const std::vector<double>& time_sec,
                                 const std::vector<double>& intensity,
                                 IntensityBits intensity_bits, BinaryArrayWriter& arrays,
                                 const ReactionSettings* reaction) {
  out.append("<chromatogram");
  append_count_attribute(out, "index", position);
  append_attribute(out, "id", id);
  append_count_attribute(out, "defaultArrayLength", time_sec.size());
  out.append(">\n");
  append_cv_param(out, "          ", type);
  // A <precursor> only when there is something to state: its <activation>
  // is required, and validators know no terms for a chromatogram's.
  if (reaction != nullptr && (reaction->precursor_mz || reaction->collision_energy)) {
    out.append("          <precursor>\n");
    if (reaction->precursor_mz) {
      out.append("            <isolationWindow>\n");
      append_cv_number(out, "              ", terms::kIsolationTarget, *reaction->precursor_mz, terms::kMz);
      out.append("            </isolationWindow>\n");
    }
    out.append("            <activation>\n");
    append_cv_param(out, "              ", terms::activation_term(std::nullopt));
    if (reaction->collision_energy) {
      append_cv_number(out, "              ", terms::kCollisionEnergy, *reaction->collision_energy,
                       terms::kElectronvolt);
    }
    out.append("            </activation>\n          </precursor>\n");
  }
  if (reaction != nullptr && reaction->product_mz) {
    out.append("          <product>\n            <isolationWindow>\n");
    append_cv_number(out, "              ", terms::kIsolationTarget, *reaction->product_mz, terms::kMz);
    out.append("            </isolationWindow>\n          </product>\n");
  }
  out.append("          <binaryDataArrayList count=\"2\">\n");
  const std::string array_indent = "            ";
  if (auto written = arrays.append(out, std::span<const double>(time_sec), terms::kTimeArray,
                                   terms::kSecond, array_indent);
      !written) {
    return written;
  }
  Result<void> written;
  if (intensity_bits == IntensityBits::Float32) {
    const std::vector<float> narrowed(intensity.begin(), intensity.end());
    written = arrays.append(out, std::span<const float>(narrowed), terms::kIntensityArray,
                            terms::kDetectorCounts, array_indent);
  } else {
    written = arrays.append(out, std::span<const double>(intensity), terms::kIntensityArray,
                            terms::kDetectorCounts, array_indent);
  }
  if (!written) return written;
  out.append("          </binaryDataArrayList>\n        </chromatogram>\n");
  return {};
}

void append_run_end(std::string& out, bool chromatograms_written) {
  if (chromatograms_written) out.append("      </chromatogramList>\n");
  out.append("    </run>\n  </mzML>\n");
}

void append_index(std::string& out, const std::vector<IndexEntry>& spectra,
                  const std::vector<IndexEntry>& chromatograms, std::uint64_t index_list_offset) {
  const auto append_entries = [&out](std::string_view name, const std::vector<IndexEntry>& entries) {
    out.append("    <index name=\"").append(name).append("\">\n");
    for (const auto& [id, offset] : entries) {
      out.append("      <offset idRef=\"");
      append_xml_escaped(out, id);
      out.append("\">");
      append_number(out, offset);
      out.append("</offset>\n");
    }
    out.append("    </index>\n");
  };
  // An index without offsets is valid mzML 1.1.2 but not to older
  // validators and readers: the chromatogram index is left out when empty.
  out.append(chromatograms.empty() ? "<indexList count=\"1\">\n" : "<indexList count=\"2\">\n");
  append_entries("spectrum", spectra);
  if (!chromatograms.empty()) append_entries("chromatogram", chromatograms);
  out.append("  </indexList>\n  <indexListOffset>");
  append_number(out, index_list_offset);
  out.append("</indexListOffset>\n  <fileChecksum>");
}

void append_checksum_end(std::string& out, std::string_view sha1_hex) {
  out.append(sha1_hex).append("</fileChecksum>\n</indexedmzML>\n");
}

std::string file_uri(std::string_view absolute_path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file://";
  for (char c : absolute_path) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                       (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' ||
                       c == '~' || c == '/';
    if (plain) {
      uri.push_back(c);
    } else {
      uri.push_back('%');
      uri.push_back(kHex[byte >> 4]);
      uri.push_back(kHex[byte & 0xF]);
    }
  }
  return uri;
}

}  // namespace karvel::exporter
