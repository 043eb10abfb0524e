// The long peak table of a run as an Arrow batch source: one row per peak,
// batches of about kBatchRows rows made of whole spectra (a spectrum alone
// larger than that is split). Columns: spectrum_index, mz, intensity; with
// metadata also scan_id, ms_level, rt, precursor_mz (null when absent) and
// polarity, in the order of peak_fields().
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "arrow.hpp"
#include "reader/scan_row.hpp"
#include "reader/reader.hpp"

namespace karvel::python::morvane {

inline constexpr std::size_t kBatchRows = 1 << 20;

// The spectra the latest stream of a producer left out (skip_errors), as
// their positions and errors, in order; any thread.
class SkipLog {
 public:
  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
  }
  void add(std::uint32_t index, Error error) {
    std::lock_guard lock(mutex_);
    entries_.emplace_back(index, std::move(error));
  }
  std::vector<std::pair<std::uint32_t, Error>> get() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::uint32_t, Error>> entries_;
};

struct PeakOptions {
  reader::BlockChoice choice = reader::BlockChoice::Auto;
  reader::CentroidOptions centroid;
  bool skip_errors = false;
  bool metadata = false;
  unsigned threads = 1;
  std::size_t batch_rows = kBatchRows;
  std::shared_ptr<SkipLog> skipped;  // where skip_errors lists what it left out; or none
};

// Decodes nothing until the first batch is asked for; its workers stop when
// the source is released. With threads > 1 the next batch is gathered while
// the consumer holds the current one.
std::unique_ptr<BatchSource> peak_source(std::shared_ptr<const reader::Reader> reader,
                                         std::vector<std::uint32_t> indices, PeakOptions options);

}  // namespace karvel::python::morvane
