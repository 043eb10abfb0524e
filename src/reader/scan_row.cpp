#include "reader/scan_row.hpp"

#include "support/format.hpp"

namespace karvel::reader {

std::optional<double> precursor_mz(const std::optional<morvane_core::types::Precursor>& precursor) noexcept {
  return precursor ? precursor_mz(*precursor) : std::nullopt;
}

namespace {
constexpr std::string_view kNativeIdPrefix = "scanId=";
}  // namespace

std::optional<std::uint32_t> scan_id_of(std::string_view native_id) noexcept {
  if (!native_id.starts_with(kNativeIdPrefix)) return std::nullopt;
  const std::string_view digits = native_id.substr(kNativeIdPrefix.size());
  // Decimal as written: no sign, no leading zero but for 0 itself.
  if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

std::string ScanRow::native_id() const { return str_cat(kNativeIdPrefix, record_.scan_id); }

std::optional<double> ScanRow::precursor_mz() const noexcept {
  if (!has_precursor() || record_.mrm_channel_id) return std::nullopt;
  return record_.target_mz;
}

std::optional<morvane_core::types::Precursor> ScanRow::precursor() const {
  if (!has_precursor()) return std::nullopt;
  morvane_core::types::Precursor precursor;
  if (record_.mrm_channel_id) {
    precursor.precursor_native_id = str_cat("mrm_channel=", *record_.mrm_channel_id);
  }
  precursor.target_mz = precursor_mz();
  precursor.collision_energy = collision_energy();
  return precursor;
}

std::optional<BlockKind> ScanRow::block(BlockChoice choice) const noexcept {
  const bool profile = record_.profile_params.has_value();
  const bool centroid = record_.centroid_params.has_value();
  switch (choice) {
    case BlockChoice::Auto:
      if (profile && centroid && record_.profile_params->point_count == 0) return BlockKind::Centroid;
      break;
    case BlockChoice::Stored:
    case BlockChoice::Pick:
      if (centroid) return BlockKind::Centroid;
      break;
    case BlockChoice::PickAll:
      break;
  }
  if (profile) return BlockKind::Profile;
  if (centroid) return BlockKind::Centroid;
  return std::nullopt;
}

bool ScanRow::reads_profile(BlockChoice choice) const noexcept {
  if (!record_.profile_params) return false;
  return choice == BlockChoice::Auto || block(choice) == BlockKind::Profile;
}

std::uint32_t ScanRow::point_count(BlockChoice choice) const noexcept {
  const auto* params = block_params(choice);
  return params ? params->point_count : 0;
}

const raw::msscan::SpectrumParams* ScanRow::block_params(BlockChoice choice) const noexcept {
  const auto kind = block(choice);
  if (!kind) return nullptr;
  return *kind == BlockKind::Profile ? &*record_.profile_params : &*record_.centroid_params;
}

}  // namespace karvel::reader
