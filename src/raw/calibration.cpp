#include "raw/calibration.hpp"

#include <bit>
#include <cmath>

#include "support/format.hpp"

namespace karvel::raw::calibration {
namespace {

constexpr std::size_t kStepValueCount = 8;
constexpr std::size_t kCoefficientCount = 10;
constexpr std::uint32_t kMaxTerms = 6;

bool all_finite(std::span<const double> values) {
  for (double value : values) {
    if (!std::isfinite(value)) return false;
  }
  return true;
}

}  // namespace

Result<PolynomialStep> PolynomialStep::from_flags(std::uint32_t flags,
                                                  std::span<const double> values) {
  if (values.size() != kStepValueCount) {
    return parse_error(str_cat("Polynomial calibration step needs ", kStepValueCount,
                               " values, got ", values.size()));
  }
  if (!all_finite(values)) {
    return parse_error(str_cat("Polynomial calibration step has a non-finite value: ",
                               format_float_list(values)));
  }
  double range_min = values[0];
  double range_max = values[1];
  if (range_min > range_max) {
    return parse_error(str_cat("Polynomial calibration range is inverted: ",
                               format_float(range_min), " > ", format_float(range_max)));
  }
  const std::uint32_t power_count = static_cast<std::uint32_t>(std::popcount(flags));
  if (power_count > kMaxTerms) {
    return parse_error(str_cat("Polynomial ValueUseFlags ", flags, " selects ", power_count,
                               " powers; at most ", kMaxTerms, " coefficients exist"));
  }
  std::span<const double> coefficients = values.subspan(2);
  for (std::size_t k = power_count; k < coefficients.size(); ++k) {
    if (coefficients[k] != 0) {
      return parse_error(str_cat("Polynomial coefficient ", format_float(coefficients[k]),
                                 " has no power in ValueUseFlags ", flags));
    }
  }
  PolynomialStep step;
  step.range_min = range_min;
  step.range_max = range_max;
  step.terms.reserve(power_count);
  std::size_t next = 0;
  for (std::uint32_t power = 0; power < 32; ++power) {
    if ((flags >> power) & 1u) step.terms.push_back({power, coefficients[next++]});
  }
  return step;
}

Result<TofCalibration> TofCalibration::from_coefficients(std::span<const double> coefficients,
                                                         std::uint32_t flags,
                                                         bool from_default) {
  if (coefficients.size() != kCoefficientCount) {
    return parse_error(str_cat("mass calibration needs ", kCoefficientCount,
                               " coefficients, got ", coefficients.size()));
  }
  double a = coefficients[0];
  double t0 = coefficients[1];
  if (a == 0 || !std::isfinite(a) || !std::isfinite(t0)) {
    return parse_error(str_cat("invalid Traditional calibration coefficients A=", format_float(a),
                               ", T0=", format_float(t0)));
  }
  auto step = PolynomialStep::from_flags(flags, coefficients.subspan(2));
  if (!step) return std::unexpected(std::move(step.error()));
  TofCalibration calibration;
  calibration.polynomial = std::move(*step);
  calibration.a = a;
  calibration.t0 = t0;
  calibration.from_default = from_default;
  return calibration;
}

}  // namespace karvel::raw::calibration
