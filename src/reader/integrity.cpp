#include "reader/integrity.hpp"

namespace karvel::reader {

std::string_view integrity_kind_name(IntegrityKind kind) noexcept {
  switch (kind) {
    case IntegrityKind::CalibrationFallback: return "calibration_fallback";
    case IntegrityKind::NoCalibration: return "no_calibration";
    case IntegrityKind::CalibrationMismatch: return "calibration_mismatch";
    case IntegrityKind::ScanTableShort: return "scan_table_short";
    case IntegrityKind::UndecodableSpectrum: return "undecodable_spectrum";
    case IntegrityKind::UnreadableSideFile: return "unreadable_side_file";
    case IntegrityKind::UnrecognisedValue: return "unrecognised_value";
  }
  return "unknown";
}

std::string_view integrity_kind_summary(IntegrityKind kind) noexcept {
  switch (kind) {
    case IntegrityKind::CalibrationFallback: return "scans fell back to the default calibration (DefaultMassCal.xml)";
    case IntegrityKind::NoCalibration: return "scans have no usable mass calibration";
    case IntegrityKind::CalibrationMismatch: return "MSMassCal.bin does not match the scan table";
    case IntegrityKind::ScanTableShort: return "scan records missing from the end of MSScan.bin";
    case IntegrityKind::UndecodableSpectrum: return "spectra cannot be decoded";
    case IntegrityKind::UnreadableSideFile: return "side files cannot be read";
    case IntegrityKind::UnrecognisedValue: return "unrecognised values left unset";
  }
  return "unknown";
}

void IntegrityLog::record(IntegrityKind kind, std::uint64_t count, std::string_view example) {
  if (count == 0) return;
  const auto k = static_cast<std::size_t>(kind);
  const std::lock_guard lock(mutex_);
  if (counts_[k] == 0) first_[k] = std::string(example);
  counts_[k] += count;
  kinds_.fetch_or(1u << k, std::memory_order_release);
}

void IntegrityLog::record_scan(IntegrityKind kind, std::uint64_t scan, std::string_view example) {
  const auto k = static_cast<std::size_t>(kind);
  const std::lock_guard lock(mutex_);
  if (!scans_[k].insert(scan).second) return;
  if (counts_[k] == 0) first_[k] = std::string(example);
  ++counts_[k];
  kinds_.fetch_or(1u << k, std::memory_order_release);
}

std::vector<IntegrityEvent> IntegrityLog::events() const {
  const std::lock_guard lock(mutex_);
  std::vector<IntegrityEvent> out;
  for (std::size_t k = 0; k < kIntegrityKindCount; ++k) {
    if (counts_[k] != 0) out.push_back({static_cast<IntegrityKind>(k), counts_[k], first_[k]});
  }
  return out;
}

}  // namespace karvel::reader
