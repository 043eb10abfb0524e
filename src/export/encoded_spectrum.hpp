// One <spectrum> element prepared apart from the file: decoded, its arrays
// compressed and base64 encoded, its text complete. The text depends only on
// the scan, its position in the file and the options, so spectra can be
// prepared on any thread and in any order and still give the same bytes.
#pragma once

#include <cstddef>
#include <string>

#include "export/binary_array.hpp"
#include "export/mzml_document.hpp"
#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

// auto: the reader's choice (the profile when a scan has one); centroid:
// the centroid block of scans that have both (scans with only a profile
// keep it).
enum class PeakMode : std::uint8_t { Auto, Centroid };

struct EncodedSpectrum {
  std::string native_id;
  std::string text;  // from the element's '<' to the line end after </spectrum>
  // What the TIC and base-peak chromatograms take from an MS1 spectrum.
  bool ms1 = false;
  double time_sec = 0.0;
  double total_ion_current = 0.0;
  double base_peak_intensity = 0.0;
};

// Decodes the scan at scan_position (below the scan count) and writes its
// element with the index attribute `position`. arrays holds the compressor;
// it is not shared between threads.
Result<EncodedSpectrum> encode_spectrum(const reader::Reader& reader, std::size_t scan_position,
                                        std::size_t position, PeakMode mode,
                                        IntensityBits intensity_bits, BinaryArrayWriter& arrays);

}  // namespace karvel::exporter
