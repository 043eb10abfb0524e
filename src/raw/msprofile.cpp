#include "raw/msprofile.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "raw/lzf.hpp"
#include "support/bytes.hpp"
#include "support/format.hpp"

namespace karvel::raw::msprofile {
namespace {

constexpr std::size_t kAxisHeaderSize = 16;
constexpr std::size_t kRunLengthHeaderSize = 8;  // marker, start

struct Axis {
  double x0 = 0;
  double dx = 0;

  static Axis read(const std::uint8_t* data) noexcept {
    return {load_le<double>(data), load_le<double>(data + 8)};
  }
  bool valid() const noexcept { return std::isfinite(x0) && std::isfinite(dx) && dx > 0; }
};

bool is_run_length_block(std::span<const std::uint8_t> block) {
  if (block.size() < kAxisHeaderSize + 4) return false;
  if (load_le<std::uint32_t>(block.data() + kAxisHeaderSize) != kRunLengthMarker) return false;
  Axis axis = Axis::read(block.data());
  return axis.valid() && axis.x0 > 0;
}

// Reads the items of one width until the stream ends or a control item
// changes the width. Returns the new width, or 0 at the end of the stream.
template <class Item, class Out>
Result<std::uint32_t> decode_items(std::span<const std::uint8_t> stream, std::size_t& position,
                                   std::uint64_t& point, std::uint32_t point_count, Out* out) {
  const std::uint8_t* const data = stream.data();
  const std::size_t size = stream.size();
  while (position < size) {
    if (size - position < sizeof(Item)) {
      return parse_error(str_cat("run-length profile stream truncated: ", size - position,
                                 " bytes left at width ", sizeof(Item)));
    }
    const std::int64_t value = load_le<Item>(data + position);
    position += sizeof(Item);
    if (value >= 0) {
      if (point >= point_count) {
        return parse_error(str_cat("run-length profile stream sets point ", point, " of ",
                                   point_count));
      }
      out[point++] = static_cast<Out>(value);
      continue;
    }
    const std::uint64_t code = static_cast<std::uint64_t>(~value);  // -value - 1
    const std::uint64_t skip = code >> 2;
    if (skip > point_count - point) {
      return parse_error(str_cat("run-length profile stream skips ", skip, " points from point ",
                                 point, " of ", point_count));
    }
    point += skip;
    const std::uint32_t width = 1u << (code & 3);
    if (width != sizeof(Item)) return width;
  }
  return 0;
}

// The run-length item stream decoded into out, which holds point_count zeros.
template <class Out>
Result<void> decode_run_length_into(std::span<const std::uint8_t> stream,
                                    std::uint32_t point_count, std::vector<Out>& out) {
  if (point_count > kMaxRunLengthPoints) {
    return parse_error(str_cat("run-length profile block of ", point_count,
                               " points exceeds the size cap"));
  }
  if (stream.size() < kRunLengthHeaderSize ||
      load_le<std::uint32_t>(stream.data()) != kRunLengthMarker) {
    return parse_error("run-length profile stream has no marker");
  }
  const std::int64_t stored_start = load_le<std::int32_t>(stream.data() + 4);
  const std::int64_t start = -stored_start;
  if (stored_start > 0 || start > static_cast<std::int64_t>(point_count)) {
    return parse_error(str_cat("run-length profile stream starts at point ", start, " of ",
                               point_count));
  }
  out.assign(point_count, Out{0});
  std::uint64_t point = static_cast<std::uint64_t>(start);
  std::size_t position = kRunLengthHeaderSize;
  std::uint32_t width = 4;
  while (width != 0) {
    Result<std::uint32_t> next;
    switch (width) {
      case 1:
        next = decode_items<std::int8_t>(stream, position, point, point_count, out.data());
        break;
      case 2:
        next = decode_items<std::int16_t>(stream, position, point, point_count, out.data());
        break;
      case 4:
        next = decode_items<std::int32_t>(stream, position, point, point_count, out.data());
        break;
      default:
        next = decode_items<std::int64_t>(stream, position, point, point_count, out.data());
        break;
    }
    if (!next) return std::unexpected(std::move(next.error()));
    width = *next;
  }
  return {};
}

// m/z of every point of the axis x_i = x0 + i dx written to mz, converted a
// block of points at a time; whether they rise (see Peaks::mz_rising).
bool axis_mz_into(const Axis& axis, std::uint32_t point_count,
                  const calibration::TofCalibration& calibration, double* mz) {
  constexpr std::uint32_t kChunk = 1024;
  double x[kChunk];
  bool rises = true;
  for (std::uint32_t first = 0; first < point_count; first += kChunk) {
    const std::uint32_t count = std::min(kChunk, point_count - first);
    for (std::uint32_t i = 0; i < count; ++i) {
      x[i] = axis.x0 + static_cast<double>(first + i) * axis.dx;
    }
    calibration.mz_into(std::span<const double>(x, count), mz + first);
    rises = rises && rises_on(mz, first, count);
  }
  return rises;
}

Result<Peaks> decode_run_length_block(std::span<const std::uint8_t> block,
                                      std::uint32_t point_count,
                                      const calibration::TofCalibration* calibration, Peaks reuse,
                                      ProfileAxis* axis_out) {
  Peaks peaks = std::move(reuse);
  // Intensities go straight to binary32: each item converts with round to
  // nearest, ties to even, exactly as a 64-bit intermediate would.
  auto decoded = decode_run_length_into(block.subspan(kAxisHeaderSize), point_count, peaks.intensity);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  peaks.mz.resize(point_count);
  const Axis axis = Axis::read(block.data());
  peaks.mz_rising = calibration != nullptr && axis_mz_into(axis, point_count, *calibration, peaks.mz.data());
  if (axis_out != nullptr) *axis_out = {axis.x0, axis.dx};
  return peaks;
}

// Scratch memory for decompressed blocks that do not fit in their m/z list:
// one buffer per thread, reused from block to block. A buffer grown beyond
// kKeptScratchBytes is released once the block is decoded, so a few blocks
// that declare a huge uncompressed size do not pin that memory for the
// thread's lifetime.
constexpr std::size_t kKeptScratchBytes = std::size_t{16} << 20;

class ScratchBytes {
 public:
  explicit ScratchBytes(std::size_t length) : buffer_(thread_buffer()) {
    if (buffer_.size < length) {
      buffer_.data.reset();  // the old buffer goes before the new one comes
      buffer_.size = 0;
      buffer_.data.reset(new std::uint8_t[length]);
      buffer_.size = length;
    }
    bytes_ = std::span<std::uint8_t>(buffer_.data.get(), length);
  }
  ~ScratchBytes() {
    if (buffer_.size > kKeptScratchBytes) {
      buffer_.data.reset();
      buffer_.size = 0;
    }
  }
  ScratchBytes(const ScratchBytes&) = delete;
  ScratchBytes& operator=(const ScratchBytes&) = delete;

  std::span<std::uint8_t> bytes() const { return bytes_; }

 private:
  struct Buffer {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
  };
  static Buffer& thread_buffer() {
    thread_local Buffer buffer;
    return buffer;
  }

  Buffer& buffer_;
  std::span<std::uint8_t> bytes_;
};

// out[i] = the little-endian int32 at values + 4 i, for i < count. Eight at
// a time through local arrays, which the compiler converts with vector
// instructions: a loop of single loads and stores runs at half the speed
// whenever the two buffers happen to lie a multiple of 4 KiB apart give or
// take a few points, as the processor then takes each load for one that
// must wait for an earlier store.
void int32_to_float(const std::uint8_t* values, std::uint32_t count, float* out) noexcept {
  constexpr std::uint32_t kLanes = 8;
  std::uint32_t i = 0;
  for (; count - i >= kLanes; i += kLanes) {
    std::int32_t in[kLanes];
    std::memcpy(in, values + 4 * std::size_t{i}, sizeof in);
    float converted[kLanes];
    for (std::uint32_t k = 0; k < kLanes; ++k) converted[k] = static_cast<float>(in[k]);
    std::memcpy(out + i, converted, sizeof converted);
  }
  for (; i < count; ++i) out[i] = static_cast<float>(load_le<std::int32_t>(values + 4 * std::size_t{i}));
}

// Decompresses the block into target, checks the axis header and fills
// intensity with the point_count intensities (signed 32-bit at 16 + 4i).
// Returns the axis.
Result<Axis> unpack_lzf_block(std::span<const std::uint8_t> block, std::span<std::uint8_t> target,
                              std::uint32_t point_count, std::vector<float>& intensity) {
  auto data = lzf::decompress_into(block, target);
  if (!data) return std::unexpected(std::move(data.error()));
  if (target.size() < kAxisHeaderSize) {
    return parse_error(str_cat("profile axis header needs ", kAxisHeaderSize, " bytes, got ",
                               target.size()));
  }
  Axis axis = Axis::read(target.data());
  if (!axis.valid()) {
    return parse_error(str_cat("invalid profile axis: x0=", format_float(axis.x0),
                               ", dx=", format_float(axis.dx)));
  }
  // target.size() >= 16 + 4 point_count was checked by the caller.
  intensity.resize(point_count);
  int32_to_float(target.data() + kAxisHeaderSize, point_count, intensity.data());
  return axis;
}

Result<Peaks> decode_lzf_block(std::span<const std::uint8_t> block, std::uint32_t point_count,
                               std::uint64_t uncompressed_byte_count,
                               const calibration::TofCalibration* calibration, Peaks reuse,
                               ProfileAxis* axis_out) {
  if (uncompressed_byte_count > lzf::kMaxDecompressedLength) {
    return parse_error(str_cat("LZF: expected decompressed length ", uncompressed_byte_count,
                               " exceeds cap of ", lzf::kMaxDecompressedLength));
  }
  // Both lists are allocated once at point_count entries. A block whose
  // decompressed bytes fit in the m/z list's memory (8 bytes a point; a
  // block that declares exactly its 16 + 4 point_count bytes does from four
  // points on) decompresses there, and its intensities are copied out
  // before the m/z values overwrite it. A larger one goes through the
  // thread's scratch buffer, so no record keeps memory sized by a declared
  // length.
  const auto length = static_cast<std::size_t>(uncompressed_byte_count);
  Peaks peaks = std::move(reuse);
  if (length <= std::size_t{point_count} * sizeof(double)) {
    peaks.mz.resize(point_count);
    auto* bytes = reinterpret_cast<std::uint8_t*>(peaks.mz.data());
    auto axis = unpack_lzf_block(block, std::span<std::uint8_t>(bytes, length), point_count,
                                 peaks.intensity);
    if (!axis) return std::unexpected(std::move(axis.error()));
    peaks.mz_rising = calibration != nullptr && axis_mz_into(*axis, point_count, *calibration, peaks.mz.data());
    if (axis_out != nullptr) *axis_out = {axis->x0, axis->dx};
    return peaks;
  }
  Result<Axis> axis;
  {
    ScratchBytes scratch(length);
    axis = unpack_lzf_block(block, scratch.bytes(), point_count, peaks.intensity);
  }
  if (!axis) return std::unexpected(std::move(axis.error()));
  peaks.mz.resize(point_count);
  peaks.mz_rising = calibration != nullptr && axis_mz_into(*axis, point_count, *calibration, peaks.mz.data());
  if (axis_out != nullptr) *axis_out = {axis->x0, axis->dx};
  return peaks;
}

// The block's points; their m/z values only with a calibration (without,
// the m/z list is scratch memory of unspecified contents).
Result<Peaks> decode_profile(std::span<const std::uint8_t> block,
                             const msscan::SpectrumParams& profile_params,
                             const calibration::TofCalibration* calibration, Peaks reuse,
                             ProfileAxis* axis);

}  // namespace

Result<Peaks> decode_profile_block(std::span<const std::uint8_t> block,
                                   const msscan::SpectrumParams& profile_params,
                                   const calibration::TofCalibration& calibration, Peaks reuse,
                                   ProfileAxis* axis) {
  return decode_profile(block, profile_params, &calibration, std::move(reuse), axis);
}

Result<ProfileAxis> decode_profile_intensities(std::span<const std::uint8_t> block,
                                               const msscan::SpectrumParams& profile_params,
                                               Peaks& scratch) {
  ProfileAxis axis;
  auto decoded = decode_profile(block, profile_params, nullptr, std::move(scratch), &axis);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  scratch = std::move(*decoded);
  return axis;
}

namespace {

Result<Peaks> decode_profile(std::span<const std::uint8_t> block,
                             const msscan::SpectrumParams& profile_params,
                             const calibration::TofCalibration* calibration, Peaks reuse,
                             ProfileAxis* axis) {
  if (!profile_params.uncompressed_byte_count) {
    return parse_error("Missing UncompressedByteCount for profile block");
  }
  const std::uint32_t point_count = profile_params.point_count;
  if (point_count == 0) return Peaks{};
  const std::uint64_t uncompressed_byte_count = *profile_params.uncompressed_byte_count;
  const std::uint64_t needed = 4 * std::uint64_t{point_count} + kAxisHeaderSize;
  if (uncompressed_byte_count < needed) {
    return parse_error(str_cat("UncompressedByteCount ", uncompressed_byte_count, " too short for ",
                               point_count, " points (needs ", needed, ")"));
  }
  if (is_run_length_block(block)) {
    return decode_run_length_block(block, point_count, calibration, std::move(reuse), axis);
  }
  return decode_lzf_block(block, point_count, uncompressed_byte_count, calibration, std::move(reuse),
                          axis);
}

}  // namespace

Result<std::vector<std::int64_t>> decode_run_length(std::span<const std::uint8_t> stream,
                                                    std::uint32_t point_count) {
  std::vector<std::int64_t> intensities;
  auto decoded = decode_run_length_into(stream, point_count, intensities);
  if (!decoded) return std::unexpected(std::move(decoded.error()));
  return intensities;
}

}  // namespace karvel::raw::msprofile
