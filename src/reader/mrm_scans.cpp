#include "reader/mrm_scans.hpp"

#include <algorithm>

#include "reader/scan_row.hpp"

namespace karvel::reader {

MrmScans::MrmScans(std::span<const raw::msscan::ScanRecord> records) {
  // Positions are 32-bit throughout the passes; a table beyond that has no
  // MRM entry past it.
  const std::size_t count = std::min<std::size_t>(records.size(), kNone);
  for (std::size_t position = 0; position < count; ++position) {
    const ScanRow row(records[position]);
    if (!row.is_mrm()) continue;
    if (slot_.empty()) slot_.assign(count, kNone);
    const auto& record = row.record();
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
  scans_.shrink_to_fit();
}

}  // namespace karvel::reader
