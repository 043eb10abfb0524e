#include "raw/msscan.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "support/bytes.hpp"
#include "support/format.hpp"

namespace karvel::raw::msscan {
namespace {

// Where each field lies in one record layout; -1 when the layout lacks it.
struct Layout {
  std::uint32_t stride;
  int mrm_channel_id;
  int tic;  // base_peak_mz at +8, base_peak_intensity at +16
  int calibration_id;
  int ion_polarity;
  bool polarity_is_16_bit;
  int collision_energy;  // target_mz at +8
  int min_x;             // max_x at +8
  std::array<int, 2> param_blocks;
  bool narrow_params;
};

constexpr std::array<Layout, 5> kLayouts{{
    {284, -1, 28, 52, 64, false, 76, 244, {156, 220}, false},
    {220, -1, 28, 52, 64, false, 76, -1, {156, -1}, false},
    {216, -1, 28, 52, 64, false, 76, -1, {152, -1}, false},
    {196, 4, -1, -1, 64, false, -1, -1, {144, -1}, false},
    {186, 4, -1, -1, 62, true, -1, -1, {136, -1}, true},
}};

// The stride whose second record looks like a scan following the first.
const Layout* infer_layout(std::span<const std::uint8_t> payload) {
  const std::uint32_t first_id = load_u32(payload.data());
  const std::uint32_t limit =
      first_id > std::numeric_limits<std::uint32_t>::max() - 100000u
          ? std::numeric_limits<std::uint32_t>::max()
          : first_id + 100000u;
  for (const Layout& layout : kLayouts) {
    if (payload.size() % layout.stride != 0) continue;
    if (payload.size() == layout.stride) return &layout;
    const std::uint8_t* second = payload.data() + layout.stride;
    const std::uint32_t second_id = load_u32(second);
    const std::uint16_t ms_level = load_u16(second + 20);
    if (second_id > first_id && second_id < limit && (ms_level == 1 || ms_level == 2)) {
      return &layout;
    }
  }
  return nullptr;
}

void apply_param_block(const std::uint8_t* block, bool narrow, ScanRecord& record) {
  std::uint32_t kind;
  SpectrumParams params;
  const std::uint8_t* uncompressed;
  if (narrow) {
    kind = load_u16(block);
    params.offset = load_u64(block + 2);
    params.byte_count = load_u32(block + 10);
    params.point_count = load_u32(block + 14);
    uncompressed = block + 18;
  } else {
    kind = load_u32(block);
    params.offset = load_u64(block + 4);
    params.byte_count = load_u32(block + 12);
    params.point_count = load_u32(block + 16);
    uncompressed = block + 20;
  }
  params.format_id = kind;
  if (kind == 1) {
    params.uncompressed_byte_count = load_u32(uncompressed);
    record.profile_params = params;
  } else if (kind == 2 || kind == 3) {
    record.centroid_params = params;
  }
}

ScanRecord decode_record(const std::uint8_t* r, const Layout& layout) {
  ScanRecord record;
  record.scan_id = load_u32(r);
  record.retention_time_min = load_f64(r + 12);
  record.ms_level = load_u16(r + 20);
  if (layout.mrm_channel_id >= 0) record.mrm_channel_id = load_u32(r + layout.mrm_channel_id);
  if (layout.tic >= 0) {
    record.tic = load_f64(r + layout.tic);
    record.base_peak_mz = load_f64(r + layout.tic + 8);
    record.base_peak_intensity = load_f64(r + layout.tic + 16);
  }
  if (layout.calibration_id >= 0) record.calibration_id = load_i32(r + layout.calibration_id);
  record.ion_polarity = layout.polarity_is_16_bit ? load_i16(r + layout.ion_polarity)
                                                  : load_i32(r + layout.ion_polarity);
  if (layout.collision_energy >= 0 && record.ms_level >= 2) {
    record.collision_energy = load_f64(r + layout.collision_energy);
    record.target_mz = load_f64(r + layout.collision_energy + 8);
  }
  if (layout.min_x >= 0) {
    record.min_x = load_f64(r + layout.min_x);
    record.max_x = load_f64(r + layout.min_x + 8);
  }
  for (int block : layout.param_blocks) {
    if (block >= 0) apply_param_block(r + block, layout.narrow_params, record);
  }
  return record;
}

}  // namespace

Result<MSScan> MSScan::layout_from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kMinimumFileSize) return parse_error("MSScan.bin too small for header");
  const std::uint32_t magic = load_u32(bytes.data());
  if (magic != kMagic) return parse_error(str_cat("Invalid MSScan magic: ", magic));
  const std::uint32_t header_size = load_u32(bytes.data() + 88);
  if (bytes.size() < header_size) return parse_error("MSScan.bin truncated header");

  const auto payload = bytes.subspan(header_size);
  const Layout* layout = payload.size() > 3 ? infer_layout(payload) : nullptr;
  if (layout == nullptr) {
    return parse_error(str_cat("Cannot determine record stride for payload len ", payload.size()));
  }

  MSScan scan;
  scan.global_header_size = header_size;
  scan.stride = layout->stride;
  scan.record_count = payload.size() / layout->stride;
  return scan;
}

void MSScan::decode_records(std::span<const std::uint8_t> bytes, RecordObserver* observer) {
  const Layout* layout = nullptr;
  for (const Layout& candidate : kLayouts) {
    if (candidate.stride == stride) layout = &candidate;
  }
  records.clear();
  // The checks of layout_from_bytes hold for these bytes; these guard a
  // caller that passes others.
  if (layout == nullptr || bytes.size() < global_header_size) return;
  const auto payload = bytes.subspan(global_header_size);
  const std::size_t count = std::min(record_count, payload.size() / stride);
  records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    records.push_back(decode_record(payload.data() + i * stride, *layout));
    if (observer != nullptr) observer->record(i, records.back());
  }
}

Result<MSScan> MSScan::from_bytes(std::span<const std::uint8_t> bytes) {
  auto scan = layout_from_bytes(bytes);
  if (scan) scan->decode_records(bytes);
  return scan;
}

}  // namespace karvel::raw::msscan
