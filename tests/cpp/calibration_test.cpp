#include "raw/calibration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace karvel::raw::calibration {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::string parse_message(const Error& error) {
  EXPECT_EQ(error.kind(), Error::Kind::Parse);
  return error.text();
}

std::vector<double> coefficients(double a, double t0, double range_min, double range_max,
                                 std::vector<double> poly = {0, 0, 0, 0, 0, 0}) {
  std::vector<double> out = {a, t0, range_min, range_max};
  out.insert(out.end(), poly.begin(), poly.end());
  return out;
}

TEST(CalibrationFromFlags, BuildsTermsFromSelectedPowersInOrder) {
  std::vector<double> values = {1, 2, 0.5, -0.25, 0, 0, 0, -0.0};
  auto step = PolynomialStep::from_flags(0b1010, values);
  ASSERT_TRUE(step.has_value());
  EXPECT_EQ(step->terms, (std::vector<PolynomialTerm>{{1, 0.5}, {3, -0.25}}));
  EXPECT_EQ(step->range_min, 1);
  EXPECT_EQ(step->range_max, 2);

  auto high = PolynomialStep::from_flags(0x80000001u, std::vector<double>{0, 0, 3, 4, 0, 0, 0, 0});
  ASSERT_TRUE(high.has_value());
  EXPECT_EQ(high->terms, (std::vector<PolynomialTerm>{{0, 3}, {31, 4}}));

  auto empty = PolynomialStep::from_flags(0, std::vector<double>{5, 5, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->terms.empty());
}

TEST(CalibrationFromFlags, RejectsInOrder) {
  auto message = [](std::uint32_t flags, std::vector<double> values) {
    auto step = PolynomialStep::from_flags(flags, values);
    EXPECT_FALSE(step.has_value());
    return step ? std::string() : parse_message(step.error());
  };
  EXPECT_EQ(message(0, {0, 1, 0, 0, 0, 0, 0}), "Polynomial calibration step needs 8 values, got 7");
  EXPECT_EQ(message(0, {}), "Polynomial calibration step needs 8 values, got 0");
  // Non-finite values are reported before an inverted range and before the flags.
  EXPECT_EQ(message(0xFF, {2, 1.5, kNaN, kInf, 1e20, 1.5e-7, -kInf, 12}),
            "Polynomial calibration step has a non-finite value: "
            "[2.0, 1.5, NaN, inf, 1e20, 1.5e-7, -inf, 12.0]");
  EXPECT_EQ(message(0xFF, {2, 1.5, 0, 0, 0, 0, 0, 0}),
            "Polynomial calibration range is inverted: 2 > 1.5");
  // Seven powers fail before the coefficients are looked at.
  EXPECT_EQ(message(0x7F, {0, 1, 9, 9, 9, 9, 9, 9}),
            "Polynomial ValueUseFlags 127 selects 7 powers; at most 6 coefficients exist");
  EXPECT_EQ(message(0xFFFFFFFFu, {0, 1, 0, 0, 0, 0, 0, 0}),
            "Polynomial ValueUseFlags 4294967295 selects 32 powers; at most 6 coefficients exist");
  EXPECT_EQ(message(1, {0, 1, 0, 5, 0, 0, 0, 0}),
            "Polynomial coefficient 5 has no power in ValueUseFlags 1");
  // The first surplus coefficient that is not zero is named.
  EXPECT_EQ(message(0, {0, 1, 0, 0, 0, 0.5, -2, 0}),
            "Polynomial coefficient 0.5 has no power in ValueUseFlags 0");
  EXPECT_EQ(message(0, {0, 1, 0x1p60, 0, 0, 0, 0, 0}),
            "Polynomial coefficient 1152921504606847000 has no power in ValueUseFlags 0");
  EXPECT_EQ(message(0, {1e23, 0x1p70, 0, 0, 0, 0, 0, 0}),
            "Polynomial calibration range is inverted: 1" + std::string(23, '0') +
                " > 1180591620717411300000");
}

TEST(CalibrationFromCoefficients, ValidatesTraditionalStepThenPolynomial) {
  auto message = [](std::vector<double> values, std::uint32_t flags = 0) {
    auto calibration = TofCalibration::from_coefficients(values, flags, false);
    EXPECT_FALSE(calibration.has_value());
    return calibration ? std::string() : parse_message(calibration.error());
  };
  EXPECT_EQ(message(std::vector<double>(9, 1.0)), "mass calibration needs 10 coefficients, got 9");
  EXPECT_EQ(message(std::vector<double>(11, 1.0)), "mass calibration needs 10 coefficients, got 11");
  EXPECT_EQ(message(coefficients(0, kNaN, 0, 1)),
            "invalid Traditional calibration coefficients A=0, T0=NaN");
  EXPECT_EQ(message(coefficients(-0.0, 1, 0, 1)),
            "invalid Traditional calibration coefficients A=-0, T0=1");
  EXPECT_EQ(message(coefficients(kNaN, 0, 0, 1)),
            "invalid Traditional calibration coefficients A=NaN, T0=0");
  EXPECT_EQ(message(coefficients(0.000125, kInf, 0, 1)),
            "invalid Traditional calibration coefficients A=0.000125, T0=inf");
  EXPECT_EQ(message(coefficients(-kInf, 1e20, 0, 1)),
            "invalid Traditional calibration coefficients A=-inf, T0=100000000000000000000");
  EXPECT_EQ(message(coefficients(0, -std::numeric_limits<double>::max(), 0, 1)),
            "invalid Traditional calibration coefficients A=0, T0=-17976931348623157" +
                std::string(292, '0'));
  // The polynomial step's own error passes through unchanged.
  EXPECT_EQ(message(coefficients(1, 0, 3, 2)), "Polynomial calibration range is inverted: 3 > 2");

  auto ok = TofCalibration::from_coefficients(coefficients(0.5, 0, 0, 1, {1, 0, 0, 0, 0, 0}), 1, true);
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->a, 0.5);
  EXPECT_EQ(ok->t0, 0);
  EXPECT_TRUE(ok->from_default);
  EXPECT_EQ(ok->polynomial.terms, (std::vector<PolynomialTerm>{{0, 1}}));
}

TEST(CalibrationMz, TraditionalOnlyIsExactSquare) {
  auto calibration = TofCalibration::from_coefficients(coefficients(3.5e-4, 12.25, 0, 0), 0, false);
  ASSERT_TRUE(calibration.has_value());
  for (double t : {0.0, 12.25, 1000.0, 123456.789, -5.0}) {
    double scaled = 3.5e-4 * (t - 12.25);
    EXPECT_EQ(calibration->mz(t), scaled * scaled) << t;
  }
  EXPECT_TRUE(std::isnan(calibration->mz(kNaN)));
}

TEST(CalibrationMz, PolynomialUsesClampedTimeAndTermOrder) {
  // p(tc) = 2 + 0.5 tc - 0.001 tc^3 over [10, 20].
  auto calibration = TofCalibration::from_coefficients(
      coefficients(0.25, 1, 10, 20, {2, 0.5, -0.001, 0, 0, 0}), 0b1011, false);
  ASSERT_TRUE(calibration.has_value());
  auto expected = [](double t, double tc) {
    double scaled = 0.25 * (t - 1);
    double p = -0.0;
    p += 2 * 1.0;
    p += 0.5 * tc;
    p += -0.001 * ((tc * tc) * tc);
    return scaled * scaled - p;
  };
  EXPECT_EQ(calibration->mz(15), expected(15, 15));
  EXPECT_EQ(calibration->mz(3), expected(3, 10));     // below the range
  EXPECT_EQ(calibration->mz(500), expected(500, 20));  // above the range
  EXPECT_TRUE(std::isnan(calibration->mz(kNaN)));
}

TEST(CalibrationMz, EqualRangeEndsEvaluateOneValue) {
  auto calibration = TofCalibration::from_coefficients(
      coefficients(1, 0, 4, 4, {0, 1, 0, 0, 0, 0}), 0b101, false);
  ASSERT_TRUE(calibration.has_value());
  for (double t : {0.0, 4.0, 100.0}) EXPECT_EQ(calibration->mz(t), t * t - 16) << t;
}

TEST(CalibrationPower, RepeatedSquaring) {
  EXPECT_EQ(integer_power(0.0, 0), 1.0);
  EXPECT_EQ(integer_power(kNaN, 0), 1.0);
  EXPECT_EQ(integer_power(kInf, 0), 1.0);
  EXPECT_EQ(integer_power(3.0, 1), 3.0);
  EXPECT_EQ(integer_power(2.0, 31), 2147483648.0);
  EXPECT_EQ(integer_power(-2.0, 5), -32.0);
  // x^5 = x * (x^2)^2, multiplied in that order.
  double x = 1.1;
  double square = x * x;
  EXPECT_EQ(integer_power(x, 5), x * (square * square));
  // A NaN t with a power-0 term still contributes the exact coefficient.
  PolynomialStep step{{{0, 7}}, 0, 1};
  EXPECT_EQ(step.evaluate(kNaN), 7);
}

TEST(CalibrationPower, SumStartsFromNegativeZero) {
  // A single term that is -0 keeps its sign; the Traditional part is +0, so
  // m/z is +0 - (-0) = +0.
  PolynomialStep step{{{1, -1}}, 0, 1};
  EXPECT_TRUE(std::signbit(step.evaluate(0)));
  PolynomialStep none{};
  EXPECT_FALSE(std::signbit(none.evaluate(0)));
}

}  // namespace
}  // namespace karvel::raw::calibration
