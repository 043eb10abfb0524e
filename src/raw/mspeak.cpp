#include "raw/mspeak.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "support/bytes.hpp"
#include "support/format.hpp"

namespace karvel::raw::mspeak {
namespace {

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

Error peak_block_error(std::span<const std::uint8_t> block, const msscan::SpectrumParams& centroid_params,
                       const calibration::TofCalibration* calibration) {
  // The checks of peak_block_accepted, in the order their errors are told.
  const std::uint32_t format_id = centroid_params.format_id;
  if (format_id != kQTofCentroidFormat && format_id != kInterleavedFormat) {
    return Error::parse(str_cat("Unknown peak format ID: ", format_id));
  }
  if (block.size() < kBytesPerPeak * centroid_params.point_count) return Error::parse("Truncated MSPeak.bin block");
  return Error::parse("Q-TOF centroid block has no mass calibration");
}

bool decode_flight_time_block(std::span<const std::uint8_t> block, const msscan::SpectrumParams& centroid_params,
                              const calibration::TofCalibration& calibration, double* mz, float* intensity) noexcept {
  return decode_flight_times(block.data(), centroid_params.point_count, calibration, mz, intensity);
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
  if (centroid_params.format_id != kInterleavedFormat || !peak_block_accepted(block, centroid_params, nullptr)) {
    return std::nullopt;
  }
  return StoredPairs(block.data(), centroid_params.point_count);
}

}  // namespace karvel::raw::mspeak
