#include "raw/mspeak.hpp"

#include <algorithm>
#include <cstring>

#include "support/bytes.hpp"
#include "support/format.hpp"

namespace karvel::raw::mspeak {
namespace {

constexpr std::uint32_t kQTofCentroidFormat = 2;
constexpr std::uint32_t kInterleavedFormat = 3;
constexpr std::uint64_t kBytesPerPeak = 12;

// Format 3: (binary64 m/z, binary32 intensity) pairs, 12 bytes each.
Peaks decode_interleaved(const std::uint8_t* data, std::uint32_t count, Peaks peaks) {
  peaks.mz.resize(count);
  peaks.intensity.resize(count);
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::uint8_t* peak = data + kBytesPerPeak * k;
    peaks.mz[k] = load_f64(peak);
    // Copied as bits, so NaN payloads and signs survive unchanged.
    std::memcpy(&peaks.intensity[k], peak + 8, sizeof(float));
  }
  return peaks;
}

// Format 2: count binary64 flight times, then count binary32 intensities.
Peaks decode_flight_times(const std::uint8_t* data, std::uint32_t count,
                          const calibration::TofCalibration& calibration, Peaks peaks) {
  peaks.mz.resize(count);
  peaks.intensity.resize(count);
  constexpr std::uint32_t kChunk = 1024;
  double x[kChunk];
  for (std::uint32_t first = 0; first < count; first += kChunk) {
    const std::uint32_t chunk = std::min(kChunk, count - first);
    std::memcpy(x, data + 8 * std::size_t{first}, 8 * std::size_t{chunk});
    calibration.mz_into(std::span<const double>(x, chunk), peaks.mz.data() + first);
  }
  if (count != 0) {
    std::memcpy(peaks.intensity.data(), data + 8 * std::size_t{count}, 4 * std::size_t{count});
  }
  return peaks;
}

}  // namespace

Result<Peaks> decode_peak_block(std::span<const std::uint8_t> block,
                                const msscan::SpectrumParams& centroid_params,
                                const calibration::TofCalibration* calibration, Peaks reuse) {
  const std::uint32_t format_id = centroid_params.format_id;
  if (format_id != kQTofCentroidFormat && format_id != kInterleavedFormat) {
    return parse_error(str_cat("Unknown peak format ID: ", format_id));
  }
  const std::uint32_t count = centroid_params.point_count;
  if (block.size() < kBytesPerPeak * count) return parse_error("Truncated MSPeak.bin block");
  if (format_id == kInterleavedFormat) return decode_interleaved(block.data(), count, std::move(reuse));
  if (calibration == nullptr) return parse_error("Q-TOF centroid block has no mass calibration");
  return decode_flight_times(block.data(), count, *calibration, std::move(reuse));
}

}  // namespace karvel::raw::mspeak
