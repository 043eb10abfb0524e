// What a scan's row of the scan table means, derived in this one place: its
// retention time in seconds, polarity, precursor, MS level and the data
// block a spectrum of it is read from. Every consumer (the reader's spectra,
// the scan columns, the writers' filters) asks a ScanRow instead of reading
// the raw record's fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "centroid/peak_picker.hpp"
#include "morvane_core/enums.hpp"
#include "morvane_core/types.hpp"
#include "raw/msscan.hpp"
#include "support/error.hpp"

namespace karvel::reader {

// Which block the points of a spectrum come from.
//   Auto:   the reader's choice: the profile when the scan has one (an empty
//           profile gives way to the centroid block), else the centroid block.
//   Stored: the stored centroid block of scans that have both; a scan with
//           only one block keeps it.
//   Pick:   the stored centroid block where there is one, otherwise the
//           profile's peaks picked (centroid/peak_picker.hpp).
//   PickAll: every profile's peaks picked, whether or not the scan has a
//           centroid block too; a scan with only a centroid block keeps it.
// New values are applied in Reader::spectrum (spectrum.cpp), the only place
// that turns a choice into decoded points, in ScanRow::block and in
// block_choice_of.
enum class BlockChoice : std::uint8_t { Auto, Stored, Pick, PickAll };

// The choice of its code in morvane's calls (0 auto, 1 stored, 2 pick,
// 3 pick-all); nothing for any other code.
constexpr std::optional<BlockChoice> block_choice_of(long code) noexcept {
  switch (code) {
    case 0: return BlockChoice::Auto;
    case 1: return BlockChoice::Stored;
    case 2: return BlockChoice::Pick;
    case 3: return BlockChoice::PickAll;
    default: return std::nullopt;
  }
}

// True for the choices whose profiles are picked.
constexpr bool picks(BlockChoice choice) noexcept {
  return choice == BlockChoice::Pick || choice == BlockChoice::PickAll;
}

// How a choice applies across a run: to the scans of MS levels
// min_ms_level to max_ms_level (the others read as Auto, keeping their
// block), and how Pick and PickAll pick.
struct CentroidOptions {
  std::uint32_t min_ms_level = 0;
  std::uint32_t max_ms_level = UINT32_MAX;
  centroid::PickSettings pick;

  BlockChoice for_level(BlockChoice choice, std::uint32_t ms_level) const noexcept {
    return ms_level >= min_ms_level && ms_level <= max_ms_level ? choice : BlockChoice::Auto;
  }
};

// Whether a scan of this MS level is an MS1 scan: level 1 exactly. A scan
// of level 0 states no level and is neither MS1 nor MSn: it is left out of
// the TIC and BPC, of the MS1 counts and of MS1 selections, and written as
// a plain mass spectrum. Every consumer asks this.
constexpr bool is_ms1(std::uint32_t ms_level) noexcept { return ms_level == 1; }

// Whether a scan of this MS level has a precursor (level 2 and above).
constexpr bool is_msn(std::uint32_t ms_level) noexcept { return ms_level >= 2; }

// A precursor's m/z: the selected ion's when known, else the isolation
// target's; nothing for an MRM channel.
constexpr std::optional<double> precursor_mz(const morvane_core::types::Precursor& precursor) noexcept {
  return precursor.selected_mz ? precursor.selected_mz : precursor.target_mz;
}
std::optional<double> precursor_mz(const std::optional<morvane_core::types::Precursor>& precursor) noexcept;

// The scan id a native id names ("scanId=" and the id in decimal, as
// ScanRow::native_id writes it); nothing for any other text.
std::optional<std::uint32_t> scan_id_of(std::string_view native_id) noexcept;

// 1 for positive, -1 for negative, 0 when unknown.
constexpr std::int8_t polarity_sign(const std::optional<morvane_core::enums::Polarity>& polarity) noexcept {
  if (!polarity) return 0;
  return *polarity == morvane_core::enums::Polarity::Positive ? 1 : -1;
}

// A view of one scan record; the record must outlive it.
class ScanRow {
 public:
  explicit ScanRow(const raw::msscan::ScanRecord& record) noexcept : record_(record) {}

  const raw::msscan::ScanRecord& record() const noexcept { return record_; }
  std::uint32_t scan_id() const noexcept { return record_.scan_id; }
  std::uint32_t ms_level() const noexcept { return record_.ms_level; }
  bool is_ms1() const noexcept { return reader::is_ms1(record_.ms_level); }
  // "scanId=" and the scan id.
  std::string native_id() const;
  // The retention time, stored in minutes, in seconds.
  double rt_sec() const noexcept { return record_.retention_time_min * 60.0; }
  // IonPolarity 0 is positive, 1 negative; any other code is unknown.
  std::optional<morvane_core::enums::Polarity> polarity() const noexcept {
    if (record_.ion_polarity == 0) return morvane_core::enums::Polarity::Positive;
    if (record_.ion_polarity == 1) return morvane_core::enums::Polarity::Negative;
    return std::nullopt;
  }
  std::int8_t polarity_sign() const noexcept { return reader::polarity_sign(polarity()); }

  // Scans of MS level 2 and above have a precursor: MRM scans name their
  // channel instead of a target m/z; the collision energy is kept as stored.
  bool has_precursor() const noexcept { return is_msn(record_.ms_level); }
  // An MRM scan: one with a precursor, whose row names its channel.
  bool is_mrm() const noexcept { return has_precursor() && record_.mrm_channel_id.has_value(); }
  std::optional<double> precursor_mz() const noexcept;
  std::optional<double> collision_energy() const noexcept {
    if (!has_precursor()) return std::nullopt;
    return record_.collision_energy;
  }
  std::optional<morvane_core::types::Precursor> precursor() const;

  // The block whose points a spectrum read with `choice` carries, nothing
  // for a scan without blocks. Under Auto an empty profile (no points)
  // gives way to the centroid block; the profile is still read first
  // (reads_profile), so that a damaged one fails its scan.
  std::optional<BlockKind> block(BlockChoice choice) const noexcept;
  // Whether a spectrum read with `choice` reads the profile block.
  bool reads_profile(BlockChoice choice) const noexcept;
  // The number of points a spectrum read with `choice` carries when its
  // blocks decode (picking aside: picked peaks are fewer than the profile's
  // points).
  std::uint32_t point_count(BlockChoice choice) const noexcept;
  // The stored parameters of that block, or nullptr.
  const raw::msscan::SpectrumParams* block_params(BlockChoice choice) const noexcept;

 private:
  const raw::msscan::ScanRecord& record_;
};

}  // namespace karvel::reader
