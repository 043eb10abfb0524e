// MSPeak.bin centroid blocks: format 3 stores interleaved m/z and intensity,
// format 2 stores flight times (converted with the calibration) then
// intensities.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "raw/calibration.hpp"
#include "raw/msscan.hpp"
#include "raw/peaks.hpp"
#include "support/bytes.hpp"
#include "support/error.hpp"

namespace karvel::raw::mspeak {

// calibration may be null; format 2 then fails. The points are decoded into
// reuse's arrays (their memory, not their values, is kept).
Result<Peaks> decode_peak_block(std::span<const std::uint8_t> block,
                                const msscan::SpectrumParams& centroid_params,
                                const calibration::TofCalibration* calibration, Peaks reuse = {});

// The points of a block that stores them as (binary64 m/z, binary32
// intensity) pairs, read where they lie: the values decode_peak_block
// gives, without arrays written.
class StoredPairs {
 public:
  static constexpr std::size_t kStride = 12;
  StoredPairs(const std::uint8_t* data, std::size_t count) noexcept : data_(data), count_(count) {}
  std::size_t size() const noexcept { return count_; }
  double mz(std::size_t i) const noexcept { return load_f64(data_ + kStride * i); }
  float intensity(std::size_t i) const noexcept { return load_f32(data_ + kStride * i + 8); }

 private:
  const std::uint8_t* data_;
  std::size_t count_;
};

inline constexpr std::uint32_t kQTofCentroidFormat = 2;  // flight times, then intensities
inline constexpr std::uint32_t kInterleavedFormat = 3;   // (m/z, intensity) pairs
inline constexpr std::uint64_t kBytesPerPeak = StoredPairs::kStride;

// Whether decode_peak_block accepts the block: a known format, room for
// every point, and a calibration for flight times.
inline bool peak_block_accepted(std::span<const std::uint8_t> block, const msscan::SpectrumParams& centroid_params,
                                const calibration::TofCalibration* calibration) noexcept {
  const std::uint32_t format_id = centroid_params.format_id;
  return (format_id == kInterleavedFormat || (format_id == kQTofCentroidFormat && calibration != nullptr)) &&
         block.size() >= kBytesPerPeak * centroid_params.point_count;
}

// The error decode_peak_block gives a block peak_block_accepted rejects.
Error peak_block_error(std::span<const std::uint8_t> block, const msscan::SpectrumParams& centroid_params,
                       const calibration::TofCalibration* calibration);

// The checks of decode_peak_block alone: the number of points the block
// holds, or the error decode_peak_block gives. Inline: passes over many
// one-point blocks call it once a block.
inline Result<std::uint32_t> check_peak_block(std::span<const std::uint8_t> block,
                                              const msscan::SpectrumParams& centroid_params,
                                              const calibration::TofCalibration* calibration) {
  if (peak_block_accepted(block, centroid_params, calibration)) return centroid_params.point_count;
  return std::unexpected(peak_block_error(block, centroid_params, calibration));
}

// Format 2 of a block check_peak_block accepted; see below.
bool decode_flight_time_block(std::span<const std::uint8_t> block, const msscan::SpectrumParams& centroid_params,
                              const calibration::TofCalibration& calibration, double* mz, float* intensity) noexcept;

// Decodes a block check_peak_block accepted (the same block, params and
// calibration) into mz and intensity, each with room for its points: the
// values decode_peak_block gives, for passes that write them in place.
// Returns whether the m/z written rise (see Peaks::mz_rising).
inline bool decode_checked_peak_block(std::span<const std::uint8_t> block,
                                      const msscan::SpectrumParams& centroid_params,
                                      const calibration::TofCalibration* calibration, double* mz,
                                      float* intensity) noexcept {
  if (centroid_params.format_id != kInterleavedFormat) {
    return decode_flight_time_block(block, centroid_params, *calibration, mz, intensity);
  }
  // Format 3: (binary64 m/z, binary32 intensity) pairs, 12 bytes each.
  // Whether the m/z rise, seen on the way: !(before <= value) holds for a
  // fall and for NaN.
  const StoredPairs pairs(block.data(), centroid_params.point_count);
  double before = -std::numeric_limits<double>::infinity();
  bool falls = false;
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    const double value = pairs.mz(k);
    falls |= !(before <= value);
    before = value;
    mz[k] = value;
    // Copied as bits, so NaN payloads and signs survive unchanged.
    intensity[k] = pairs.intensity(k);
  }
  return !falls;
}

// The block's points in place when it stores pairs and holds them all;
// nothing otherwise (other formats, or a block that does not decode: then
// decode_peak_block gives the points or the error).
std::optional<StoredPairs> stored_pairs(std::span<const std::uint8_t> block,
                                        const msscan::SpectrumParams& centroid_params) noexcept;

}  // namespace karvel::raw::mspeak
