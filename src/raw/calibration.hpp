// Time-of-flight mass calibration: a Traditional step m/z = (a (t - t0))^2
// corrected by a polynomial in the clamped flight time, whose powers are
// selected by the ValueUseFlags bit mask.
#pragma once

#include <algorithm>
#include <cstddef>
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

  // out[i] = mz(times[i]) bit for bit, for times.size() values (out holds
  // as many). Every point goes through the same operations in the same
  // order as in mz(), but term by term over blocks of points, which the
  // compiler turns into vector instructions.
  void mz_into(std::span<const double> times, double* out) const noexcept;

 private:
  static constexpr std::size_t kBlock = 256;
  // One full block: times and out hold kBlock values.
  void mz_block(const double* times, double* out) const noexcept;
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

inline void TofCalibration::mz_block(const double* times, double* out) const noexcept {
  // Local arrays cannot alias times or out, so every loop vectorises.
  double traditional[kBlock];
  double clamped[kBlock];
  double sum[kBlock];
  const double low = polynomial.range_min;
  const double high = polynomial.range_max;
  for (std::size_t i = 0; i < kBlock; ++i) {
    const double t = times[i];
    const double scaled = a * (t - t0);
    traditional[i] = scaled * scaled;
    // A NaN t fails both comparisons and stays NaN.
    clamped[i] = t < low ? low : (t > high ? high : t);
    sum[i] = -0.0;
  }
  if (polynomial.terms.empty()) {
    for (std::size_t i = 0; i < kBlock; ++i) out[i] = traditional[i] - 0.0;
    return;
  }
  for (const PolynomialTerm& term : polynomial.terms) {
    const double c = term.coefficient;
    // integer_power(x, power) spelled out for the common powers: the same
    // multiplications in the same order (1 * y is y exactly).
    switch (term.power) {
      case 0:
        for (std::size_t i = 0; i < kBlock; ++i) sum[i] += c * 1.0;
        break;
      case 1:
        for (std::size_t i = 0; i < kBlock; ++i) sum[i] += c * clamped[i];
        break;
      case 2:
        for (std::size_t i = 0; i < kBlock; ++i) sum[i] += c * (clamped[i] * clamped[i]);
        break;
      case 3:
        for (std::size_t i = 0; i < kBlock; ++i) {
          sum[i] += c * (clamped[i] * (clamped[i] * clamped[i]));
        }
        break;
      default: {
        double result[kBlock];
        double square[kBlock];
        for (std::size_t i = 0; i < kBlock; ++i) {
          result[i] = 1;
          square[i] = clamped[i];
        }
        for (std::uint32_t power = term.power; power != 0;) {
          if (power & 1u) {
            for (std::size_t i = 0; i < kBlock; ++i) result[i] *= square[i];
          }
          power >>= 1;
          if (power != 0) {
            for (std::size_t i = 0; i < kBlock; ++i) square[i] *= square[i];
          }
        }
        for (std::size_t i = 0; i < kBlock; ++i) sum[i] += c * result[i];
      }
    }
  }
  for (std::size_t i = 0; i < kBlock; ++i) out[i] = traditional[i] - sum[i];
}

inline void TofCalibration::mz_into(std::span<const double> times, double* out) const noexcept {
  std::size_t done = 0;
  for (; times.size() - done >= kBlock; done += kBlock) mz_block(times.data() + done, out + done);
  if (done == times.size()) return;
  // The last partial block goes through a padded copy.
  double tail_times[kBlock] = {};
  double tail_out[kBlock];
  const std::size_t rest = times.size() - done;
  std::copy_n(times.data() + done, rest, tail_times);
  mz_block(tail_times, tail_out);
  std::copy_n(tail_out, rest, out + done);
}

}  // namespace karvel::raw::calibration
