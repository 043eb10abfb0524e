// One row of a run's quality-control table: what a single scan contributes
// to the run metrics, taken from its decoded spectrum record and its chosen
// mass calibration. Absent numbers are NaN so that the rows stay plain
// columns.
#pragma once

#include <cstdint>
#include <string>

#include "morvane_core/types.hpp"

namespace karvel::qc {

// Where the m/z values of a scan come from.
enum class CalibrationSource : std::uint8_t {
  None = 0,     // no time-of-flight calibration (other analysers, or none usable)
  Scan = 1,     // the scan's own MSMassCal.bin record
  Default = 2,  // the DefaultMassCal.xml entry of its calibration id
};

struct ScanFacts {
  std::uint32_t index = 0;
  std::uint32_t scan_number = 0;
  std::string native_id;
  std::uint32_t ms_level = 0;
  double rt = 0;               // seconds
  std::int8_t polarity = 0;    // +1 positive, -1 negative, 0 unknown
  bool decoded = false;        // false: the block failed, the spectrum columns are NaN
  double tic = 0;              // the spectrum's total ion current
  double base_peak_mz = 0;
  double base_peak_intensity = 0;
  std::uint32_t num_peaks = 0;
  bool empty = false;          // decoded, and its intensities sum to 0 (no points, or only zeros)
  double lowest_mz = 0;        // of the points; NaN without points
  double highest_mz = 0;
  double scan_low_mz = 0;      // the scan's recorded m/z range; NaN when not recorded
  double scan_high_mz = 0;
  double precursor_mz = 0;     // NaN for MS1
  CalibrationSource calibration_source = CalibrationSource::None;
  double calibration_drift_ppm = 0;  // NaN without a calibration to compare
};

// The row of a decoded spectrum. The calibration columns are left for the
// caller (see calibration_drift.hpp).
ScanFacts facts_of(const morvane_core::types::SpectrumRecord& record);

// The row of a scan whose spectrum failed to decode: the scan's identity,
// level, RT and polarity, NaN for everything the spectrum would give.
ScanFacts failed_facts(std::uint32_t index, std::uint32_t scan_number, std::string native_id,
                       std::uint32_t ms_level, double rt, std::int8_t polarity);

}  // namespace karvel::qc
