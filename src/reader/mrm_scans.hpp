// A run's MRM scans in a compact table: what a pass over their points needs
// of each scan's row, a few dozen bytes a scan instead of the whole record,
// so that such a pass over a run of many one-point scans is not bound by
// walking the scan table. Built once, when the scan table is decoded.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "raw/msscan.hpp"

namespace karvel::reader {

// One MRM scan (ScanRow::is_mrm), as its row gives it: 48 bytes.
struct MrmScan {
  std::uint32_t position = 0;  // in the scan table
  std::uint32_t channel = 0;
  double rt_sec = 0.0;
  double collision_energy = std::numeric_limits<double>::quiet_NaN();  // NaN where the row holds none
  // The centroid block, when has_centroid.
  std::uint64_t centroid_offset = 0;
  std::uint32_t centroid_bytes = 0;
  std::uint32_t centroid_points = 0;
  std::uint32_t centroid_format = 0;
  std::int8_t polarity = 0;  // as ScanRow::polarity_sign
  bool has_profile = false;
  bool has_centroid = false;

  // The centroid block's parameters as the scan row holds them.
  raw::msscan::SpectrumParams centroid() const noexcept {
    return {.format_id = centroid_format, .offset = centroid_offset, .byte_count = centroid_bytes,
            .point_count = centroid_points, .uncompressed_byte_count = std::nullopt};
  }
};

class MrmScans {
 public:
  // Built record by record, in table order: add() each record of a table of
  // table_size records, then finish().
  void add(std::size_t position, const raw::msscan::ScanRecord& record, std::size_t table_size);
  void finish();

  std::span<const MrmScan> all() const noexcept { return scans_; }
  // The MRM scan at table position `position`, or nullptr when that scan is
  // none (or the position lies beyond the table).
  const MrmScan* at(std::uint64_t position) const noexcept {
    if (position >= slot_.size() || slot_[position] == kNone) return nullptr;
    return &scans_[slot_[position]];
  }

 private:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  std::vector<MrmScan> scans_;
  std::vector<std::uint32_t> slot_;  // per table position: its entry, or kNone; empty without MRM scans
};

}  // namespace karvel::reader
