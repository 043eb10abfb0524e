// The pieces of an indexed mzML 1.1 document, appended to a text buffer in
// file order: the header up to the opening <spectrumList>, one <spectrum>
// at a time, the chromatograms, and the index with its checksum. The
// writer (mzml_writer.hpp) strings them together and counts the offsets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "export/binary_array.hpp"
#include "morvane_core/enums.hpp"
#include "morvane_core/types.hpp"
#include "reader/integrity.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

enum class IntensityBits : std::uint8_t { Float32, Float64 };

// A spectrum left out of the file: its native id ("scanId=N") and why.
struct SkippedSpectrum {
  std::string native_id;
  std::string reason;
};

// A peak picking step of the conversion: how profiles became centroids.
struct PeakPickingStep {
  std::string mode;  // "pick" or "pick-all"
  double snr = 0;
  bool keep_spikes = false;  // single-point spikes reported as peaks
  std::uint32_t min_ms_level = 0;
  std::uint32_t max_ms_level = 0;
};

// The settings of a picking step as (name, value) pairs, in the order every
// output that records the step (mzML's processingMethod, mzPeak's data
// processing) lists them.
std::vector<std::pair<std::string, std::string>> peak_picking_params(const PeakPickingStep& step);

// What the header says about the run and the file's contents.
struct RunDescription {
  morvane_core::types::RunMetadata metadata;
  std::optional<morvane_core::enums::Analyzer> analyzer;
  // The scan table file the native ids refer to: its name, a file URI of
  // the directory holding it, and its SHA-1 in hex (empty when unreadable).
  std::string source_name;
  std::string source_location;
  std::string source_sha1;
  std::optional<PeakPickingStep> peak_picking;  // listed in dataProcessing when set
  bool has_ms1 = false;
  bool has_msn = false;
  bool has_unstated_level = false;  // scans of MS level 0
  std::size_t spectrum_count = 0;
  // Spectra of the selection left out because they cannot be decoded: their
  // native ids and reasons, one userParam each on the <run>.
  std::vector<SkippedSpectrum> skipped;
  // The problems the reader met and worked around, one userParam
  // "integrity event" per kind on the <run>: "{kind}: {count} {what}; first: {text}".
  std::vector<reader::IntegrityEvent> integrity;
};

// One id and the byte offset of its element's '<'.
using IndexEntry = std::pair<std::string, std::uint64_t>;

// Everything before the first <spectrum>, ending with <spectrumList …>.
void append_header(std::string& out, const RunDescription& run);

// The element writers below start at the element's '<' (the caller writes
// any indentation first, so the offset of the element is where the text
// ends before the call).

// One <spectrum> element; position is its index attribute.
Result<void> append_spectrum(std::string& out, const morvane_core::types::SpectrumRecord& spectrum,
                             std::size_t position, IntensityBits intensity_bits,
                             BinaryArrayWriter& arrays);

// Closes the spectrum list; opens the chromatogram list when there are
// chromatograms (a list may not be empty).
void append_spectrum_list_end(std::string& out, bool chromatograms_follow);

// What a chromatogram of one reaction states: its <precursor> when the
// precursor m/z or the collision energy is known, its <product> when the
// product m/z is.
struct ReactionSettings {
  std::optional<double> precursor_mz;
  std::optional<double> product_mz;
  std::optional<double> collision_energy;
};

// One <chromatogram> element with 64-bit times; reaction: the settings of
// a selected reaction monitoring chromatogram, or nullptr.
Result<void> append_chromatogram(std::string& out, std::size_t position, std::string_view id,
                                 terms::Term type, const std::vector<double>& time_sec,
                                 const std::vector<double>& intensity,
                                 IntensityBits intensity_bits, BinaryArrayWriter& arrays,
                                 const ReactionSettings* reaction = nullptr);

// Closes the chromatogram list (when open), the run and <mzML>.
void append_run_end(std::string& out, bool chromatograms_written);

// <indexList> with the spectrum index and (when not empty) the chromatogram
// index, then <indexListOffset> and the opening
// <fileChecksum> tag: everything the checksum covers after the run.
void append_index(std::string& out, const std::vector<IndexEntry>& spectra,
                  const std::vector<IndexEntry>& chromatograms, std::uint64_t index_list_offset);

// The checksum's digits and the closing tags.
void append_checksum_end(std::string& out, std::string_view sha1_hex);

// "file://" and the absolute path with every byte outside [A-Za-z0-9-._~/]
// percent-encoded.
std::string file_uri(std::string_view absolute_path);

}  // namespace karvel::exporter
