// MSPeak.bin centroid blocks: format 3 stores interleaved m/z and intensity,
// format 2 stores flight times (converted with the calibration) then
// intensities.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The checks of decode_peak_block alone: the number of points the block
// holds, or the error decode_peak_block gives.
Result<std::uint32_t> check_peak_block(std::span<const std::uint8_t> block,
                                       const msscan::SpectrumParams& centroid_params,
                                       const calibration::TofCalibration* calibration);

// Decodes a block check_peak_block accepted (the same block, params and
// calibration) into mz and intensity, each with room for its points: the
// values decode_peak_block gives, for passes that write them in place.
// Returns whether the m/z written rise (see Peaks::mz_rising).
bool decode_checked_peak_block(std::span<const std::uint8_t> block,
                               const msscan::SpectrumParams& centroid_params,
                               const calibration::TofCalibration* calibration, double* mz,
                               float* intensity) noexcept;

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

// The block's points in place when it stores pairs and holds them all;
// nothing otherwise (other formats, or a block that does not decode: then
// decode_peak_block gives the points or the error).
std::optional<StoredPairs> stored_pairs(std::span<const std::uint8_t> block,
                                        const msscan::SpectrumParams& centroid_params) noexcept;

}  // namespace karvel::raw::mspeak
