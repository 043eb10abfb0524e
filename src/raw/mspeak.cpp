#include "raw/mspeak.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/bytes.hpp"
#include "support/format.hpp"

namespace karvel::raw::mspeak {
namespace {

constexpr std::uint32_t kQTofCentroidFormat = 2;
constexpr std::uint32_t kInterleavedFormat = 3;
constexpr std::uint64_t kBytesPerPeak = StoredPairs::kStride;

// Format 3: (binary64 m/z, binary32 intensity) pairs, 12 bytes each.
// Whether the m/z rise, seen on the way: !(before <= value) holds for a
// fall and for NaN.
bool decode_interleaved(const std::uint8_t* data, std::uint32_t count, double* mz, float* intensity) noexcept {
  const StoredPairs pairs(data, count);
  double before = -std::numeric_limits<double>::infinity();
  bool falls = false;
  for (std::uint32_t k = 0; k < count; ++k) {
    const double value = pairs.mz(k);
    falls |= !(before <= value);
    before = value;
    mz[k] = value;
    // Copied as bits, so NaN payloads and signs survive unchanged.
    intensity[k] = pairs.intensity(k);
  }
  return !falls;
}

// Format 2: count binary64 flight times, then count binary32 intensities.
// Whether the m/z rise, each chunk checked while it is at hand.
bool decode_flight_times(const std::uint8_t* data, std::uint32_t count,
                         const calibration::TofCalibration& calibration, double* mz, float* intensity) noexcept {
  constexpr std::uint32_t kChunk = 1024;
  double x[kChunk];
  bool rises = true;
  for (std::uint32_t first = 0; first < count; first += kChunk) {
    const std::uint32_t chunk = std::min(kChunk, count - first);
    std::memcpy(x, data + 8 * std::size_t{first}, 8 * std::size_t{chunk});
    calibration.mz_into(std::span<const double>(x, chunk), mz + first);
    rises = rises && rises_on(mz, first, chunk);
  }
  if (count != 0) std::memcpy(intensity, data + 8 * std::size_t{count}, 4 * std::size_t{count});
  return rises;
}

}  // namespace

Result<std::uint32_t> check_peak_block(std::span<const std::uint8_t> block,
                                       const msscan::SpectrumParams& centroid_params,
                                       const calibration::TofCalibration* calibration) {
  const std::uint32_t format_id = centroid_params.format_id;
  if (format_id != kQTofCentroidFormat && format_id != kInterleavedFormat) {
    return parse_error(str_cat("Unknown peak format ID: ", format_id));
  }
  const std::uint32_t count = centroid_params.point_count;
  if (block.size() < kBytesPerPeak * count) return parse_error("Truncated MSPeak.bin block");
  if (format_id == kQTofCentroidFormat && calibration == nullptr) {
    return parse_error("Q-TOF centroid block has no mass calibration");
  }
  return count;
}

bool decode_checked_peak_block(std::span<const std::uint8_t> block,
                               const msscan::SpectrumParams& centroid_params,
                               const calibration::TofCalibration* calibration, double* mz,
                               float* intensity) noexcept {
  const std::uint32_t count = centroid_params.point_count;
  if (centroid_params.format_id == kInterleavedFormat) {
    return decode_interleaved(block.data(), count, mz, intensity);
  }
  return decode_flight_times(block.data(), count, *calibration, mz, intensity);
}

Result<Peaks> decode_peak_block(std::span<const std::uint8_t> block,
                                const msscan::SpectrumParams& centroid_params,
                                const calibration::TofCalibration* calibration, Peaks reuse) {
  auto count = check_peak_block(block, centroid_params, calibration);
  if (!count) return std::unexpected(std::move(count.error()));
  reuse.mz.resize(*count);
  reuse.intensity.resize(*count);
  reuse.mz_rising =
      decode_checked_peak_block(block, centroid_params, calibration, reuse.mz.data(), reuse.intensity.data());
  return reuse;
}

std::optional<StoredPairs> stored_pairs(std::span<const std::uint8_t> block,
                                        const msscan::SpectrumParams& centroid_params) noexcept {
  if (centroid_params.format_id != kInterleavedFormat) return std::nullopt;
  const std::uint32_t count = centroid_params.point_count;
  if (block.size() < kBytesPerPeak * count) return std::nullopt;
  return StoredPairs(block.data(), count);
}

}  // namespace karvel::raw::mspeak
