// Calibration drift: how far a scan's chosen time-of-flight calibration
// moves m/z away from the run's default calibration. A reference m/z is
// turned into a flight time with the default calibration and back into m/z
// with the scan's; the difference, in ppm of the reference, is the error the
// scan's calibration implies there. A scan's drift is the signed error of
// largest magnitude over the reference m/z values.
#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "raw/calibration.hpp"
#include "raw/defaultmasscal.hpp"
#include "raw/msscan.hpp"

namespace karvel::qc {

inline constexpr std::array<double, 4> kDriftReferenceMz = {200.0, 500.0, 1000.0, 1500.0};

// The flight time at which calibration gives m/z `mz`, or nothing when the
// calibration does not reach it (a ≤ 0, a correction larger than the m/z,
// or no convergence). Solves (a (t - t0))^2 - p(t) = mz by fixed-point
// iteration on t = t0 + sqrt(mz + p(t)) / a; p is a small correction, so
// this converges in a few steps.
std::optional<double> flight_time_of(const raw::calibration::TofCalibration& calibration, double mz);

// The error in ppm that `chosen` implies against `reference` at m/z `mz`;
// nothing when `reference` cannot be inverted there.
std::optional<double> drift_ppm_at(const raw::calibration::TofCalibration& chosen,
                                   const raw::calibration::TofCalibration& reference, double mz);

// The signed error of largest magnitude over references; nothing when no
// reference could be compared.
std::optional<double> drift_ppm(const raw::calibration::TofCalibration& chosen,
                                const raw::calibration::TofCalibration& reference,
                                std::span<const double> references = kDriftReferenceMz);

// The run's default calibrations by calibration id, as the reference of
// each scan: the DefaultMassCal.xml entry of the scan's calibration id, else
// the file's first entry. Empty when the run has no usable DefaultMassCal.xml.
class DefaultCalibrations {
 public:
  // The references of a run's DefaultMassCal.xml entries, as the reader read
  // them (Reader::default_calibrations); entries that make no calibration
  // are left out.
  static DefaultCalibrations of(std::span<const raw::defaultmasscal::DefaultCalibration> entries);

  const raw::calibration::TofCalibration* for_id(std::optional<std::int32_t> calibration_id) const noexcept;
  bool empty() const noexcept { return entries_.empty(); }

 private:
  struct Entry {
    std::int32_t calibration_id;
    raw::calibration::TofCalibration calibration;
  };
  std::vector<Entry> entries_;
};

}  // namespace karvel::qc
