// What a scan's row of the scan table means, derived in this one place: its
// retention time in seconds, polarity, precursor, MS level and the data
// block a spectrum of it is read from. Every consumer (the reader's spectra,
// the scan columns, the writers' filters) asks a ScanRow instead of reading
// the raw record's fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

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
// that turns a choice into decoded points, and in ScanRow::block.
enum class BlockChoice : std::uint8_t { Auto, Stored, Pick, PickAll };

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

// 1 for positive, -1 for negative, 0 when unknown.
std::int8_t polarity_sign(const std::optional<morvane_core::enums::Polarity>& polarity) noexcept;

// A view of one scan record; the record must outlive it.
class ScanRow {
 public:
  explicit ScanRow(const raw::msscan::ScanRecord& record) noexcept : record_(record) {}

  const raw::msscan::ScanRecord& record() const noexcept { return record_; }
  std::uint32_t scan_id() const noexcept { return record_.scan_id; }
  std::uint32_t ms_level() const noexcept { return record_.ms_level; }
  // "scanId=" and the scan id.
  std::string native_id() const;
  // The retention time, stored in minutes, in seconds.
  double rt_sec() const noexcept { return record_.retention_time_min * 60.0; }
  // IonPolarity 0 is positive, 1 negative; any other code is unknown.
  std::optional<morvane_core::enums::Polarity> polarity() const noexcept;
  std::int8_t polarity_sign() const noexcept { return reader::polarity_sign(polarity()); }

  // Scans of MS level 2 and above have a precursor: MRM scans name their
  // channel instead of a target m/z; the collision energy is kept as stored.
  bool has_precursor() const noexcept { return record_.ms_level >= 2; }
  std::optional<double> precursor_mz() const noexcept;
  std::optional<double> collision_energy() const noexcept;
  std::optional<morvane_core::types::Precursor> precursor() const;

  // The block `choice` reads first, nothing for a scan without blocks.
  std::optional<BlockKind> block(BlockChoice choice) const noexcept;
  // The stored parameters of that block, or nullptr.
  const raw::msscan::SpectrumParams* block_params(BlockChoice choice) const noexcept;

 private:
  const raw::msscan::ScanRecord& record_;
};

}  // namespace karvel::reader
