#include "reader/mrm_scans.hpp"

#include <algorithm>

#include "reader/scan_row.hpp"

namespace karvel::reader {

void MrmScans::add(std::size_t position, const raw::msscan::ScanRecord& record, std::size_t table_size) {
  // Positions are 32-bit throughout the passes; a table beyond that has no
  // MRM entry past it.
  const ScanRow row(record);
  const std::size_t count = std::min<std::size_t>(table_size, kNone);
  if (position >= count || !row.is_mrm()) return;
  if (slot_.empty()) {
    // The first MRM scan: room for every scan from here on (an MRM run is
    // MRM scans throughout), given back in finish() when far too much.
    slot_.assign(count, kNone);
    scans_.reserve(count - position);
  }
  MrmScan& scan = scans_.emplace_back();
  scan.position = static_cast<std::uint32_t>(position);
  scan.channel = *record.mrm_channel_id;
  scan.polarity = row.polarity_sign();
  scan.has_profile = record.profile_params.has_value();
  scan.has_centroid = record.centroid_params.has_value();
  scan.rt_sec = row.rt_sec();
  scan.collision_energy = row.collision_energy().value_or(std::numeric_limits<double>::quiet_NaN());
  if (const auto& centroid = record.centroid_params) {
    scan.centroid_offset = centroid->offset;
    scan.centroid_bytes = centroid->byte_count;
    scan.centroid_points = centroid->point_count;
    scan.centroid_format = centroid->format_id;
  }
  slot_[position] = static_cast<std::uint32_t>(scans_.size() - 1);
}

void MrmScans::finish() {
  if (scans_.size() < scans_.capacity() / 2) scans_.shrink_to_fit();
}

}  // namespace karvel::reader
