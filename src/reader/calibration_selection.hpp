// Choosing a time-of-flight calibration for every scan: the scan's own
// MSMassCal.bin record when usable (its polynomial mask recovered from the
// default entries), else the DefaultMassCal.xml entry of its calibration id.
// Never fails: problems are logged, counted and summarised.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "raw/calibration.hpp"
#include "raw/defaultmasscal.hpp"
#include "raw/msscan.hpp"
#include "reader/integrity.hpp"
#include "support/error.hpp"
#include "support/format.hpp"
#include "support/log.hpp"

namespace karvel::reader {

// A run's mass calibrations: entry i of per_scan is the calibration of
// scan record i, or nothing; defaults are the entries of DefaultMassCal.xml
// as read. Both empty for scan tables that are not time-of-flight tables.
struct RunCalibrations {
  std::vector<std::optional<raw::calibration::TofCalibration>> per_scan;
  std::vector<raw::defaultmasscal::DefaultCalibration> defaults;
};

// events, when given, receives the fallbacks, mismatches and unreadable
// files met.
RunCalibrations load_calibrations(const std::string& acq, const raw::msscan::MSScan& scan,
                                  std::string_view bundle_name, IntegrityLog* events = nullptr);

// The ValueUseFlags of one MSMassCal.bin record, taken from the default entry
// whose eight polynomial values match the record's.
Result<std::uint32_t> polynomial_flags(
    std::span<const double> coefficients, std::optional<std::int32_t> calibration_id,
    std::span<const raw::defaultmasscal::DefaultCalibration> defaults);

// Logs one per-scan problem (a warning when count is 0, else debug) and
// increments count, whether or not anything was written. make_text returns
// the problem's text; it runs only when the message's level is enabled.
template <class MakeText>
void log_scan_problem(std::uint64_t& count, std::string_view bundle_name, std::uint64_t scan_index,
                      MakeText&& make_text) {
  const log::Level level = count == 0 ? log::Level::Warn : log::Level::Debug;
  log::emit(level, log::kReaderTarget,
            [&] { return str_cat(bundle_name, ": scan index ", scan_index, ": ", make_text()); });
  ++count;
}

}  // namespace karvel::reader
