#include "reader/calibration_selection.hpp"

#include <cmath>

#include "raw/msmasscal.hpp"
#include "raw/read_bytes.hpp"
#include "reader/paths.hpp"
#include "support/format.hpp"
#include "support/log.hpp"

namespace karvel::reader {
namespace {

using raw::calibration::TofCalibration;
using raw::defaultmasscal::DefaultCalibration;
using raw::msmasscal::MassCalRecord;

constexpr std::size_t kCoefficientCount = 10;

void warn(std::string_view bundle_name, auto&& make_rest) {
  log::emit(log::Level::Warn, log::kReaderTarget,
            [&] { return str_cat(bundle_name, ": ", make_rest()); });
}

// |a − b| ≤ 1e-12 × max(|a|, |b|); a NaN on either side never matches.
bool values_match(double a, double b) {
  const double scale = std::fmax(std::fabs(a), std::fabs(b));
  return std::fabs(a - b) <= 1e-12 * scale;
}

bool polynomial_values_match(const DefaultCalibration& entry, std::span<const double> values) {
  for (std::size_t k = 0; k < entry.polynomial_values.size(); ++k) {
    if (!values_match(entry.polynomial_values[k], values[k])) return false;
  }
  return true;
}

std::vector<DefaultCalibration> load_defaults(const std::string& acq, std::string_view bundle_name,
                                              IntegrityLog* events) {
  const std::string path = join_path(acq, "DefaultMassCal.xml");
  if (!path_exists(path)) {
    warn(bundle_name, [] { return std::string("DefaultMassCal.xml not found"); });
    if (events != nullptr) events->record(IntegrityKind::UnreadableSideFile, 1, "DefaultMassCal.xml not found");
    return {};
  }
  auto text = raw::read_utf8_file(path);
  auto parsed = text ? raw::defaultmasscal::parse_str(*text)
                     : Result<std::vector<DefaultCalibration>>(std::unexpected(text.error()));
  if (!parsed) {
    warn(bundle_name, [&] { return parsed.error().display(); });
    if (events != nullptr) {
      events->record(IntegrityKind::UnreadableSideFile, 1,
                     str_cat("DefaultMassCal.xml: ", parsed.error().display()));
    }
    return {};
  }
  return std::move(*parsed);
}

// The records of MSMassCal.bin when they can serve the scans one to one.
// When the file exists but cannot serve them, problem says why.
std::vector<MassCalRecord> load_records(const std::string& acq, const raw::msscan::MSScan& scan,
                                        bool have_defaults, std::string_view bundle_name,
                                        std::string& problem, IntegrityLog* events) {
  const std::string path = join_path(acq, "MSMassCal.bin");
  if (!path_exists(path)) {
    if (have_defaults) {
      log::emit(log::Level::Info, log::kReaderTarget, [&] {
        return str_cat(bundle_name, ": MSMassCal.bin not found; using DefaultMassCal.xml");
      });
    }
    return {};
  }
  auto bytes = raw::read_whole_file(path);
  auto parsed = bytes ? raw::msmasscal::parse_bytes(*bytes)
                      : Result<std::vector<MassCalRecord>>(std::unexpected(bytes.error()));
  if (!parsed) {
    warn(bundle_name, [&] {
      return str_cat("MSMassCal.bin: ", parsed.error().display(), "; using DefaultMassCal.xml");
    });
    problem = str_cat("MSMassCal.bin: ", parsed.error().display());
    return {};
  }
  if (parsed->size() != scan.records.size()) {
    warn(bundle_name, [&] {
      return str_cat("MSMassCal.bin has ", parsed->size(), " records but MSScan.bin has ",
                     scan.records.size(), " scans; using DefaultMassCal.xml");
    });
    problem = str_cat("MSMassCal.bin has ", parsed->size(), " records but MSScan.bin has ",
                      scan.records.size(), " scans");
    if (events != nullptr) {
      events->record(IntegrityKind::CalibrationMismatch, 1, problem);
      if (parsed->size() > scan.records.size()) {
        events->record(IntegrityKind::ScanTableShort, parsed->size() - scan.records.size(),
                       str_cat("MSScan.bin ends after ", scan.records.size(), " scans; MSMassCal.bin has ",
                               parsed->size(), " records"));
      }
    }
    return {};
  }
  return std::move(*parsed);
}

Result<TofCalibration> calibration_from_record(const MassCalRecord& record,
                                               std::optional<std::int32_t> calibration_id,
                                               std::span<const DefaultCalibration> defaults) {
  auto flags = polynomial_flags(record.coefficients, calibration_id, defaults);
  if (!flags) return std::unexpected(std::move(flags.error()));
  return TofCalibration::from_coefficients(record.coefficients, *flags, false);
}

Result<TofCalibration> calibration_from_defaults(std::optional<std::int32_t> calibration_id,
                                                 std::span<const DefaultCalibration> defaults) {
  if (calibration_id) {
    for (const DefaultCalibration& entry : defaults) {
      if (entry.calibration_id == *calibration_id) return entry.to_tof();
    }
  }
  return std::unexpected(Error::parse(
      str_cat("no DefaultMassCal.xml entry for CalibrationID ", format_optional(calibration_id))));
}

}  // namespace

Result<std::uint32_t> polynomial_flags(std::span<const double> coefficients,
                                       std::optional<std::int32_t> calibration_id,
                                       std::span<const DefaultCalibration> defaults) {
  const bool has_values = coefficients.size() == kCoefficientCount;
  if (has_values) {
    bool all_zero = true;
    for (std::size_t k = 4; k < kCoefficientCount; ++k) all_zero = all_zero && coefficients[k] == 0;
    if (all_zero) return 0u;
  }
  if (has_values && !defaults.empty()) {
    const auto values = coefficients.subspan(2, 8);
    if (calibration_id) {
      for (const DefaultCalibration& entry : defaults) {
        if (entry.calibration_id == *calibration_id && polynomial_values_match(entry, values)) {
          return entry.value_use_flags;
        }
      }
    }
    for (const DefaultCalibration& entry : defaults) {
      if (polynomial_values_match(entry, values)) return entry.value_use_flags;
    }
  }
  return std::unexpected(Error::parse(
      "MSMassCal.bin Polynomial values match no DefaultMassCal.xml entry, so their "
      "ValueUseFlags are unknown"));
}

RunCalibrations load_calibrations(const std::string& acq, const raw::msscan::MSScan& scan,
                                  std::string_view bundle_name, IntegrityLog* events) {
  if (!scan.is_time_of_flight()) return {};
  std::vector<DefaultCalibration> defaults = load_defaults(acq, bundle_name, events);
  std::string file_problem;
  const std::vector<MassCalRecord> records =
      load_records(acq, scan, !defaults.empty(), bundle_name, file_problem, events);
  // Scans that fell back because the whole file could not serve them.
  std::uint64_t file_fallbacks = 0;
  std::string first_fallback;

  std::uint64_t fallback_count = 0;
  std::uint64_t missing_count = 0;
  std::vector<std::optional<TofCalibration>> calibrations;
  calibrations.reserve(scan.records.size());
  for (std::size_t i = 0; i < scan.records.size(); ++i) {
    const auto calibration_id = scan.records[i].calibration_id;
    if (!records.empty()) {
      auto own = calibration_from_record(records[i], calibration_id, defaults);
      if (own) {
        calibrations.emplace_back(std::move(*own));
        continue;
      }
      if (fallback_count == 0 && file_fallbacks == 0) {
        first_fallback = str_cat("scan index ", i, ": ", own.error().display());
      }
      log_scan_problem(fallback_count, bundle_name, i, [&] {
        return str_cat(own.error().display(), "; using DefaultMassCal.xml");
      });
    }
    auto fallback = calibration_from_defaults(calibration_id, defaults);
    if (fallback) {
      if (records.empty() && !file_problem.empty()) ++file_fallbacks;
      calibrations.emplace_back(std::move(*fallback));
      continue;
    }
    if (events != nullptr) {
      events->record(IntegrityKind::NoCalibration, 1,
                     str_cat("scan index ", i, ": ", fallback.error().display()));
    }
    log_scan_problem(missing_count, bundle_name, i,
                     [&] { return str_cat("no calibration: ", fallback.error().display()); });
    calibrations.emplace_back(std::nullopt);
  }
  if (events != nullptr) {
    if (file_fallbacks != 0) {
      events->record(IntegrityKind::CalibrationFallback, file_fallbacks,
                     str_cat(file_problem, "; every scan uses DefaultMassCal.xml"));
    }
    events->record(IntegrityKind::CalibrationFallback, fallback_count, first_fallback);
  }

  if (fallback_count != 0) {
    warn(bundle_name,
         [&] { return str_cat(fallback_count, " scans fell back to DefaultMassCal.xml"); });
  }
  if (missing_count != 0) {
    warn(bundle_name,
         [&] { return str_cat(missing_count, " scans have no usable mass calibration"); });
  }
  return RunCalibrations{std::move(calibrations), std::move(defaults)};
}

}  // namespace karvel::reader
