// The block-wise m/z conversion must give exactly what the point-wise one
// gives: same bits, for every calibration shape and every kind of time.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "raw/calibration.hpp"

namespace karvel::raw::calibration {
namespace {

TofCalibration make(std::uint32_t flags, std::vector<double> poly, double low = 20000,
                    double high = 80000) {
  std::vector<double> values = {4.8e-4, 12.5, low, high};
  values.insert(values.end(), poly.begin(), poly.end());
  auto calibration = TofCalibration::from_coefficients(values, flags, false);
  EXPECT_TRUE(calibration.has_value());
  return *calibration;
}

std::vector<double> times(std::size_t count) {
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> spread(0.0, 100000.0);
  std::vector<double> out(count);
  for (double& t : out) t = spread(random);
  const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity(),
                             -0.0, 0.0, 20000.0, 80000.0, 1e300, -1e300};
  for (std::size_t i = 0; i < count && i < std::size(specials); ++i) out[i * 3 % count] = specials[i];
  return out;
}

TEST(CalibrationBatch, MatchesPointwiseBitForBit) {
  const TofCalibration calibrations[] = {
      make(0, {0, 0, 0, 0, 0, 0}),
      make(0b111, {1.2e-3, 2.5e-8, -3.0e-13, 0, 0, 0}),
      make(0b1, {7, 0, 0, 0, 0, 0}),
      make(0b11100, {-4e-9, 2e-13, 5e-18, 0, 0, 0}),
      make((1u << 31) | (1u << 5) | 0b11, {1e-3, -2e-9, 3e-20, 1e-300, 0, 0}),
      make(0b111111, {1, -1, 1e-5, -1e-10, 1e-15, -1e-20}, 5, 5),
  };
  for (const TofCalibration& calibration : calibrations) {
    for (std::size_t count : {0u, 1u, 255u, 256u, 257u, 1000u}) {
      const auto input = times(count);
      std::vector<double> out(count, 12345.0);
      calibration.mz_into(input, out.data());
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(std::bit_cast<std::uint64_t>(out[i]),
                  std::bit_cast<std::uint64_t>(calibration.mz(input[i])))
            << "t=" << input[i] << " terms=" << calibration.polynomial.terms.size() << " count=" << count;
      }
    }
  }
}

}  // namespace
}  // namespace karvel::raw::calibration
