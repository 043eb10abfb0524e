// One <spectrum> element prepared apart from the file: decoded, its arrays
// compressed and base64 encoded, its text complete. The text depends only on
// the scan, its position in the file and the options, so spectra can be
// prepared on any thread and in any order and still give the same bytes.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "export/binary_array.hpp"
#include "export/mzml_document.hpp"
#include "reader/ms1_chromatograms.hpp"
#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

struct EncodedSpectrum {
  std::string native_id;
  std::string text;  // from the element's '<' to the line end after </spectrum>
  // What the TIC and base-peak chromatograms take from an MS1 spectrum.
  std::optional<reader::Ms1Point> ms1;
};

// Decodes the scan at scan_position (below the scan count) with the block
// choice and writes its element with the index attribute `position`.
// arrays holds the compressor and readers the pass's block readers (or
// nullptr); neither is shared between threads.
Result<EncodedSpectrum> encode_spectrum(const reader::Reader& reader, std::size_t scan_position,
                                        std::size_t position, reader::BlockChoice choice,
                                        IntensityBits intensity_bits, BinaryArrayWriter& arrays,
                                        reader::BlockReaders* readers = nullptr,
                                        const reader::CentroidOptions& centroid = {});

}  // namespace karvel::exporter
