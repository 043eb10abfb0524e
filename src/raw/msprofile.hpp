// MSProfile.bin profile blocks: an evenly spaced x axis (x0, dx) with one
// intensity per point, stored LZF-compressed or as a run-length stream.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "raw/calibration.hpp"
#include "raw/msscan.hpp"
#include "raw/peaks.hpp"
#include "support/error.hpp"

namespace karvel::raw::msprofile {

inline constexpr std::uint32_t kRunLengthMarker = 0x9002FF00;
inline constexpr std::uint64_t kMaxRunLengthPoints = 134217728;

// The flight-time axis of a profile block: point i lies at x0 + i dx.
struct ProfileAxis {
  double x0 = 0;
  double dx = 0;
};

// reuse: lists whose memory the result may take over (their values are
// overwritten), so that a caller decoding many blocks of similar size does
// not allocate, and fault in, fresh memory for each. axis: when not null,
// receives the block's axis (left as it is for a block without points).
Result<Peaks> decode_profile_block(std::span<const std::uint8_t> block,
                                   const msscan::SpectrumParams& profile_params,
                                   const calibration::TofCalibration& calibration,
                                   Peaks reuse = {}, ProfileAxis* axis = nullptr);

// The intensities and the axis of a profile block without the m/z values,
// for a caller that converts only some positions (the peak picker):
// scratch.intensity receives the intensities; scratch.mz is used as scratch
// memory (its contents unspecified). The same checks as
// decode_profile_block.
Result<ProfileAxis> decode_profile_intensities(std::span<const std::uint8_t> block,
                                               const msscan::SpectrumParams& profile_params,
                                               Peaks& scratch);

// stream: the block from offset 16 (starting with the marker).
Result<std::vector<std::int64_t>> decode_run_length(std::span<const std::uint8_t> stream,
                                                    std::uint32_t point_count);

}  // namespace karvel::raw::msprofile
