// Decisions made once per run while a folder is opened: the instrument term,
// the analyzer every spectrum reports, and a warning about polarity codes
// that spectra cannot express.
#pragma once

#include <optional>
#include <string_view>

#include "morvane_core/enums.hpp"
#include "morvane_core/types.hpp"
#include "raw/metadata.hpp"
#include "raw/msscan.hpp"
#include "reader/integrity.hpp"

namespace karvel::reader {

morvane_core::types::CvTerm resolve_instrument(const std::optional<raw::metadata::DeviceInfo>& device,
                                               const raw::msscan::MSScan& scan);

morvane_core::enums::Analyzer resolve_analyzer(const std::optional<raw::metadata::DeviceInfo>& device,
                                               const raw::msscan::MSScan& scan);

// events, when given, counts the scans whose polarity code is not known.
void warn_unknown_polarity(const raw::msscan::MSScan& scan, std::string_view bundle_name,
                           IntegrityLog* events = nullptr);

}  // namespace karvel::reader
