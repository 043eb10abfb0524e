// Decoding one spectrum of an opened reader, with the block choice of the
// caller: the reader's own (profile first) or the centroid block for scans
// that have both.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "morvane_core/types.hpp"
#include "reader/reader.hpp"

namespace karvel::python::morvane {

enum class Mode { Auto, Centroid };

// The record, or the failure's text as karvel shows it ("vendor parser
// error: scanId=..." or "I/O error: ..."). index must be below the scan count.
using Decoded = std::expected<morvane_core::types::SpectrumRecord, std::string>;
// reuse: memory a profile may decode into (see Reader::spectrum).
Decoded decode_spectrum(const reader::Reader& reader, std::size_t index, Mode mode,
                        raw::Peaks reuse = {});

}  // namespace karvel::python::morvane
