#include "qc/calibration_drift.hpp"

#include <cmath>

namespace karvel::qc {

std::optional<double> flight_time_of(const raw::calibration::TofCalibration& calibration, double mz) {
  const double a = calibration.a;
  if (!(a > 0) || !std::isfinite(a) || !std::isfinite(mz) || !(mz > 0)) return std::nullopt;
  double t = calibration.t0 + std::sqrt(mz) / a;
  for (int step = 0; step < 100; ++step) {
    const double square = mz + calibration.polynomial.evaluate(t);
    if (!(square >= 0)) return std::nullopt;
    const double next = calibration.t0 + std::sqrt(square) / a;
    if (!std::isfinite(next)) return std::nullopt;
    const bool settled = std::fabs(next - t) <= 1e-13 * std::fabs(next);
    t = next;
    if (settled) break;
  }
  // Accept only a time that gives the m/z back to well below a ppb.
  if (!(std::fabs(calibration.mz(t) - mz) <= 1e-10 * mz)) return std::nullopt;
  return t;
}

std::optional<double> drift_ppm_at(const raw::calibration::TofCalibration& chosen,
                                   const raw::calibration::TofCalibration& reference, double mz) {
  const auto t = flight_time_of(reference, mz);
  if (!t) return std::nullopt;
  const double error = (chosen.mz(*t) - mz) / mz * 1e6;
  if (!std::isfinite(error)) return std::nullopt;
  return error;
}

std::optional<double> drift_ppm(const raw::calibration::TofCalibration& chosen,
                                const raw::calibration::TofCalibration& reference,
                                std::span<const double> references) {
  std::optional<double> worst;
  for (const double mz : references) {
    const auto error = drift_ppm_at(chosen, reference, mz);
    if (error && (!worst || std::fabs(*error) > std::fabs(*worst))) worst = error;
  }
  return worst;
}

DefaultCalibrations DefaultCalibrations::of(
    std::span<const raw::defaultmasscal::DefaultCalibration> entries) {
  DefaultCalibrations result;
  for (const auto& entry : entries) {
    auto calibration = entry.to_tof();
    if (calibration) result.entries_.push_back(Entry{entry.calibration_id, std::move(*calibration)});
  }
  return result;
}

const raw::calibration::TofCalibration* DefaultCalibrations::for_id(
    std::optional<std::int32_t> calibration_id) const noexcept {
  if (entries_.empty()) return nullptr;
  if (calibration_id) {
    for (const Entry& entry : entries_) {
      if (entry.calibration_id == *calibration_id) return &entry.calibration;
    }
  }
  return &entries_.front().calibration;
}

}  // namespace karvel::qc
