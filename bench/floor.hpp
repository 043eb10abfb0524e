// The floors that karvel's decoders are measured against: the least work
// that produces the same points. Scratch buffers are reused across blocks,
// decompression is liblzf's, and the points are visited in one pass.
#pragma once

#include <cstdint>
#include <vector>

#include "bench_run.hpp"

namespace karvel::bench {

struct FloorBuffers {
  std::vector<std::uint8_t> raw;
  std::vector<double> mz;
  std::vector<float> intensity;
};

// True for a stored profile block in the run-length encoding.
bool is_run_length(const Block& block);

// Profile block: liblzf decompression (LZF) or one copy of the stored bytes
// (run-length), then one pass computing every point's m/z and intensity.
// Returns the point count.
std::uint64_t floor_profile(const Block& block, FloorBuffers& buffers);

// Centroid block: one pass over the peaks (m/z through the calibration for
// format 2, copied for format 3) and one copy of the intensities.
std::uint64_t floor_centroid(const Block& block, FloorBuffers& buffers);

}  // namespace karvel::bench
