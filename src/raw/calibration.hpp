// Time-of-flight mass calibration: a Traditional step m/z = (a (t - t0))^2
// corrected by a polynomial in the clamped flight time, whose powers are
// selected by the ValueUseFlags bit mask.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/error.hpp"

namespace karvel::raw::calibration {

struct PolynomialTerm {
  std::uint32_t power = 0;
  double coefficient = 0;

  friend bool operator==(const PolynomialTerm&, const PolynomialTerm&) = default;
};

struct PolynomialStep {
  std::vector<PolynomialTerm> terms;  // increasing power, at most six
  double range_min = 0;
  double range_max = 0;

  // values: range minimum, range maximum, six coefficients.
  static Result<PolynomialStep> from_flags(std::uint32_t flags, std::span<const double> values);

  // The correction p at flight time t (clamped to the range).
  double evaluate(double t) const noexcept;
};

struct TofCalibration {
  PolynomialStep polynomial;
  double a = 0;
  double t0 = 0;
  bool from_default = false;

  // coefficients: A, T0, range minimum, range maximum, six coefficients.
  static Result<TofCalibration> from_coefficients(std::span<const double> coefficients,
                                                  std::uint32_t flags, bool from_default);

  // m/z of flight time t: (a (t - t0))^2 - p(t).
  double mz(double t) const noexcept;
};

// tc^power by repeated squaring; power 0 gives exactly 1 (also for 0 and NaN).
inline double integer_power(double tc, std::uint32_t power) noexcept {
  double result = 1;
  double square = tc;
  while (power != 0) {
    if (power & 1u) result *= square;
    power >>= 1;
    if (power != 0) square *= square;
  }
  return result;
}

inline double PolynomialStep::evaluate(double t) const noexcept {
  if (terms.empty()) return 0;
  // A NaN t fails both comparisons and stays NaN.
  double tc = t < range_min ? range_min : (t > range_max ? range_max : t);
  double sum = -0.0;
  for (const PolynomialTerm& term : terms) sum += term.coefficient * integer_power(tc, term.power);
  return sum;
}

inline double TofCalibration::mz(double t) const noexcept {
  double scaled = a * (t - t0);
  return scaled * scaled - polynomial.evaluate(t);
}

}  // namespace karvel::raw::calibration
