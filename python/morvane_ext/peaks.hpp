// The long peak table of a run as an Arrow batch source: one row per peak,
// batches of about kBatchRows rows made of whole spectra (a spectrum alone
// larger than that is split). Columns: spectrum_index, mz, intensity; with
// metadata also scan_id, ms_level, rt, precursor_mz (null when absent) and
// polarity, in the order of peak_fields().
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "arrow.hpp"
#include "reader/scan_row.hpp"
#include "reader/reader.hpp"

namespace karvel::python::morvane {

inline constexpr std::size_t kBatchRows = 1 << 20;

struct PeakOptions {
  reader::BlockChoice choice = reader::BlockChoice::Auto;
  reader::CentroidOptions centroid;
  bool skip_errors = false;
  bool metadata = false;
  unsigned threads = 1;
  std::size_t batch_rows = kBatchRows;
};

// Decodes nothing until the first batch is asked for; its workers stop when
// the source is released.
std::unique_ptr<BatchSource> peak_source(std::shared_ptr<const reader::Reader> reader,
                                         std::vector<std::uint32_t> indices, PeakOptions options);

}  // namespace karvel::python::morvane
