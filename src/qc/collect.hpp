// One pass over a run: every spectrum decoded once, on the library's ordered
// worker pool, and turned into its quality-control row, with the scan's
// calibration source and drift against the run's default calibration.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "qc/scan_facts.hpp"
#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::qc {

struct CollectOptions {
  unsigned threads = 1;  // as the ordered pool: 1 works in the calling thread
  // Asked in the calling thread after each scan; true stops the pass (the
  // workers finish the scan in hand and are joined).
  std::function<bool()> stop_requested;
};

// The rows of every scan in index order. A scan whose block fails to decode
// keeps its row (decoded = false); the reader has counted and logged it.
// Fails only when the pool cannot start (threads 0, no thread to be had);
// a cancelled pass returns the rows done so far.
Result<std::vector<ScanFacts>> collect(const reader::Reader& reader, const CollectOptions& options = {});

}  // namespace karvel::qc
