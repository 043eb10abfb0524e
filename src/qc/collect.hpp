// One pass over a run: every spectrum decoded once, on worker threads, and
// turned into its quality-control row, with the scan's calibration source
// and drift against the run's default calibration.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "qc/scan_facts.hpp"
#include "reader/reader.hpp"

namespace karvel::qc {

struct CollectOptions {
  unsigned threads = 0;                    // 0: the available cores; 1: the calling thread
  const std::atomic<bool>* cancel = nullptr;  // when set and true, workers stop early
};

// The rows of every scan in index order. A scan whose block fails to
// decode keeps its row (decoded = false). Never fails: errors of single
// spectra are in their rows, and the reader has counted and logged them.
std::vector<ScanFacts> collect(const reader::Reader& reader, const CollectOptions& options = {});

// The number of worker threads for a request of `requested` (0: cores).
unsigned thread_count(unsigned requested) noexcept;

}  // namespace karvel::qc
