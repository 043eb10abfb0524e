// DefaultMassCal.xml: the instrument's default calibrations, one per
// calibration id, each with a Traditional and a Polynomial step.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "raw/calibration.hpp"
#include "support/error.hpp"

namespace karvel::raw::defaultmasscal {

struct Step {
  std::string formula;
  std::vector<double> values;
  std::uint32_t value_use_flags = 0;
};

struct DefaultCalibration {
  std::int32_t calibration_id = 0;
  std::array<double, 2> traditional{};        // A, T0
  std::array<double, 8> polynomial_values{};  // range min, range max, six coefficients
  std::uint32_t value_use_flags = 0;          // of the Polynomial step

  // The calibration of this entry, marked as a default one.
  Result<calibration::TofCalibration> to_tof() const;
};

// Every entry in document order (never empty), or a parse error whose text
// begins "DefaultMassCal.xml: ".
Result<std::vector<DefaultCalibration>> parse_str(std::string_view text);

}  // namespace karvel::raw::defaultmasscal
