// The points of a run's MRM scans as columns, one row per point, with the
// scan's channel and the settings its row holds: one pass over the run's
// compact table of MRM scans (mrm_scans.hpp) and the centroid file, without
// a spectrum or a points object per scan. A scan's points are those Reader::points gives it (BlockChoice::Auto),
// with the same errors and the same failure counts.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "support/default_init.hpp"
#include "support/error.hpp"

namespace karvel::reader {

// Every column written in full by the pass that grows it: none is zeroed
// first.
struct MrmColumns {
  UninitVector<std::uint32_t> spectrum_index;
  UninitVector<std::uint32_t> channel;
  UninitVector<double> rt;  // seconds
  UninitVector<double> mz;
  UninitVector<float> intensity;
  UninitVector<double> collision_energy;  // NaN where the row holds none
  UninitVector<std::int8_t> polarity;     // as ScanRow::polarity_sign
};

// A scan left out of a pass: its position and why.
using ScanFailures = std::vector<std::pair<std::uint32_t, Error>>;

// The rows of the MRM scans (ScanRow::is_mrm) among the scans at indices, in
// that order; other scans give none. An index not below the scan count is a
// Parse error. A block that fails ends the pass with its error; with
// failures, its scan gives no rows instead and is listed there.
Result<MrmColumns> mrm_points(const Reader& reader, std::span<const std::uint32_t> indices,
                              ScanFailures* failures = nullptr);

// As above, over every scan of the run.
Result<MrmColumns> mrm_points(const Reader& reader, ScanFailures* failures = nullptr);

}  // namespace karvel::reader
