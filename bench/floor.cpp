#include "floor.hpp"

#include <lzf.h>

#include <cstring>

namespace karvel::bench {
namespace {

constexpr std::size_t kAxisHeader = 16;
constexpr std::uint32_t kRunLengthMarker = 0x9002FF00;

template <class T>
T load(const std::uint8_t* data) {
  T value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

void size_outputs(FloorBuffers& buffers, std::size_t points) {
  if (buffers.mz.size() < points) buffers.mz.resize(points);
  if (buffers.intensity.size() < points) buffers.intensity.resize(points);
}

}  // namespace

bool is_run_length(const Block& block) {
  return block.bytes.size() >= kAxisHeader + 4 &&
         load<std::uint32_t>(block.bytes.data() + kAxisHeader) == kRunLengthMarker &&
         load<double>(block.bytes.data()) > 0;
}

std::uint64_t floor_profile(const Block& block, FloorBuffers& buffers) {
  const std::size_t points = block.params.point_count;
  const bool run_length = is_run_length(block);
  const std::size_t raw_size =
      run_length ? block.bytes.size() : block.params.uncompressed_byte_count.value_or(0);
  if (buffers.raw.size() < raw_size) buffers.raw.resize(raw_size);
  if (run_length) {
    std::memcpy(buffers.raw.data(), block.bytes.data(), raw_size);
  } else {
    unsigned got = lzf_decompress(block.bytes.data(), static_cast<unsigned>(block.bytes.size()),
                                  buffers.raw.data(), static_cast<unsigned>(raw_size));
    if (got != raw_size) return 0;
  }
  size_outputs(buffers, points);
  const double x0 = load<double>(buffers.raw.data());
  const double dx = load<double>(buffers.raw.data() + 8);
  const auto& calibration = *block.calibration;
  double* mz = buffers.mz.data();
  float* intensity = buffers.intensity.data();
  const std::uint8_t* values = buffers.raw.data() + kAxisHeader;
  for (std::size_t i = 0; i < points; ++i) {
    mz[i] = calibration.mz(x0 + static_cast<double>(i) * dx);
    intensity[i] = run_length ? 0.0f : static_cast<float>(load<std::int32_t>(values + 4 * i));
  }
  return points;
}

std::uint64_t floor_centroid(const Block& block, FloorBuffers& buffers) {
  const std::size_t points = block.params.point_count;
  size_outputs(buffers, points);
  const std::uint8_t* data = block.bytes.data();
  double* mz = buffers.mz.data();
  if (block.params.format_id == 2) {
    const auto& calibration = *block.calibration;
    for (std::size_t k = 0; k < points; ++k) mz[k] = calibration.mz(load<double>(data + 8 * k));
    std::memcpy(buffers.intensity.data(), data + 8 * points, 4 * points);
  } else {
    float* intensity = buffers.intensity.data();
    for (std::size_t k = 0; k < points; ++k) {
      mz[k] = load<double>(data + 12 * k);
      intensity[k] = load<float>(data + 12 * k + 8);
    }
  }
  return points;
}

}  // namespace karvel::bench
