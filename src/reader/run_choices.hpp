// Decisions made once per run while a folder is opened: the instrument term,
// the analyzer every spectrum reports, and a warning about polarity codes
// that spectra cannot express.
#pragma once

#include <cstdint>
#include <map>
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

// The polarity codes that spectra cannot express, counted record by record;
// warn() logs them once (events, when given, counts their scans).
class UnknownPolarities {
 public:
  void count(const raw::msscan::ScanRecord& record) {
    if (record.ion_polarity != 0 && record.ion_polarity != 1) ++counts_[record.ion_polarity];
  }
  void warn(std::string_view bundle_name, IntegrityLog* events = nullptr) const;

 private:
  std::map<std::int32_t, std::uint64_t> counts_;
};

}  // namespace karvel::reader
