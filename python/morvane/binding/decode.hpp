// Decoding one spectrum of an opened reader with the caller's block choice,
// its failure as the text morvane shows.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "morvane_core/types.hpp"
#include "reader/reader.hpp"

namespace karvel::python::morvane {

using reader::BlockChoice;

// The record, or the failure's text as karvel shows it ("vendor parser
// error: scanId=..." or "I/O error: ..."). index must be below the scan count.
using Decoded = std::expected<morvane_core::types::SpectrumRecord, std::string>;
// reuse: memory a profile may decode into (see Reader::spectrum).
Decoded decode_spectrum(const reader::Reader& reader, std::size_t index, BlockChoice choice,
                        raw::Peaks reuse = {});

}  // namespace karvel::python::morvane
