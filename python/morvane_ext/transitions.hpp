// The points of a run's MRM scans as columns: one row per point, with the
// scan's channel and the settings its scan row holds. Built from the scan
// table and the points alone (no spectrum records), in the calling thread,
// without the interpreter lock.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::python::morvane {

struct TransitionColumns {
  std::vector<std::uint32_t> spectrum_index;
  std::vector<std::uint32_t> channel;
  std::vector<double> rt;
  std::vector<double> mz;
  std::vector<float> intensity;
  std::vector<double> collision_energy;  // NaN where the row holds none
  std::vector<std::int8_t> polarity;
};

// True for a scan the reader gives a channel as its precursor: MS level 2
// or above, with a channel id in its row.
bool is_mrm_scan(const reader::ScanRecord& record) noexcept;

// The rows of the scans at indices (each below the scan count), in that
// order; scans that are not MRM scans give none. A failing block ends the
// pass with its error; with failures, its scan gives no rows instead and is
// listed there as its position and error.
Result<TransitionColumns> mrm_transitions(const reader::Reader& reader, const std::vector<std::uint32_t>& indices,
                                          std::vector<std::pair<std::uint32_t, Error>>* failures = nullptr);

}  // namespace karvel::python::morvane
