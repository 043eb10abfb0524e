// A plausible Q-TOF calibration (flight times 20000..80000 -> m/z ~92..1470,
// constant, linear and quadratic correction terms) for the block decoders.
#pragma once

#include <array>
#include <cstdlib>

#include "raw/calibration.hpp"

namespace karvel::fuzz {

inline const raw::calibration::TofCalibration& fixed_calibration() {
  static const raw::calibration::TofCalibration calibration = [] {
    const std::array<double, 10> coefficients{4.8e-4, 12.5,    20000.0, 80000.0, 1.2e-3,
                                              2.5e-8, -3.0e-13, 0.0,     0.0,     0.0};
    auto built = raw::calibration::TofCalibration::from_coefficients(coefficients, 0b111, false);
    if (!built) std::abort();
    return *built;
  }();
  return calibration;
}

}  // namespace karvel::fuzz
