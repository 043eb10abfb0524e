#include "reader/scan_row.hpp"

#include "support/format.hpp"

namespace karvel::reader {

using morvane_core::enums::Polarity;

std::int8_t polarity_sign(const std::optional<Polarity>& polarity) noexcept {
  if (!polarity) return 0;
  return *polarity == Polarity::Positive ? 1 : -1;
}

std::string ScanRow::native_id() const { return str_cat("scanId=", record_.scan_id); }

std::optional<Polarity> ScanRow::polarity() const noexcept {
  if (record_.ion_polarity == 0) return Polarity::Positive;
  if (record_.ion_polarity == 1) return Polarity::Negative;
  return std::nullopt;
}

std::optional<double> ScanRow::precursor_mz() const noexcept {
  if (!has_precursor() || record_.mrm_channel_id) return std::nullopt;
  return record_.target_mz;
}

std::optional<double> ScanRow::collision_energy() const noexcept {
  if (!has_precursor()) return std::nullopt;
  return record_.collision_energy;
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

const raw::msscan::SpectrumParams* ScanRow::block_params(BlockChoice choice) const noexcept {
  const auto kind = block(choice);
  if (!kind) return nullptr;
  return *kind == BlockKind::Profile ? &*record_.profile_params : &*record_.centroid_params;
}

}  // namespace karvel::reader
