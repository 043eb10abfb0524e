// MSScan.bin: the scan table of a run, one fixed-size record per scan, in
// one of five layouts told apart by their stride (284, 220, 216, 196, 186).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace karvel::raw::msscan {

// Where one spectrum's data block lies in MSProfile.bin or MSPeak.bin.
struct SpectrumParams {
  std::uint32_t format_id = 0;  // 1 profile; 2 or 3 centroid
  std::uint64_t offset = 0;
  std::uint32_t byte_count = 0;
  std::uint32_t point_count = 0;
  std::optional<std::uint32_t> uncompressed_byte_count;  // profile only

  friend bool operator==(const SpectrumParams&, const SpectrumParams&) = default;
};

struct ScanRecord {
  std::uint32_t scan_id = 0;
  double retention_time_min = 0;
  std::uint32_t ms_level = 0;
  std::optional<double> min_x;
  std::optional<double> max_x;
  std::optional<double> tic;
  std::optional<double> base_peak_mz;
  std::optional<double> base_peak_intensity;
  std::optional<std::int32_t> calibration_id;
  std::int32_t ion_polarity = 0;
  std::optional<std::uint32_t> mrm_channel_id;
  std::optional<double> target_mz;
  std::optional<double> collision_energy;
  std::optional<SpectrumParams> profile_params;
  std::optional<SpectrumParams> centroid_params;

  friend bool operator==(const ScanRecord&, const ScanRecord&) = default;
};

inline constexpr std::uint32_t kMagic = 257;
inline constexpr std::size_t kMinimumFileSize = 92;

// Strides of time-of-flight scan tables; 196 and 186 are triple-quadrupole.
constexpr bool is_time_of_flight_stride(std::uint32_t stride) {
  return stride == 284 || stride == 220 || stride == 216;
}

// Told of each record as MSScan::decode_records makes it, while the record
// is at hand: what is derived from every record is gathered then, without
// another walk over a table of hundreds of bytes a scan.
class RecordObserver {
 public:
  virtual void record(std::size_t index, const ScanRecord& record) = 0;

 protected:
  ~RecordObserver() = default;
};

struct MSScan {
  std::vector<ScanRecord> records;
  std::uint32_t global_header_size = 0;
  std::uint32_t stride = 0;
  std::size_t record_count = 0;  // in the file; set by layout_from_bytes

  // Checks the header, finds the layout and decodes every record.
  static Result<MSScan> from_bytes(std::span<const std::uint8_t> bytes);

  // As from_bytes, but decodes no record: records stays empty, count()
  // tells how many there are. Every check of from_bytes is made here;
  // decoding the records afterwards cannot fail.
  static Result<MSScan> layout_from_bytes(std::span<const std::uint8_t> bytes);

  // Decodes the records of bytes, the file layout_from_bytes accepted when
  // it made this table. Replaces records; observer, when given, is told of
  // each in turn.
  void decode_records(std::span<const std::uint8_t> bytes, RecordObserver* observer = nullptr);

  // The records in the file, decoded or not (a table built by hand: its
  // records).
  std::size_t count() const noexcept { return std::max(record_count, records.size()); }

  bool is_time_of_flight() const { return is_time_of_flight_stride(stride); }
};

}  // namespace karvel::raw::msscan
