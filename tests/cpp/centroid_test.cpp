#include "centroid/peak_picker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace karvel::centroid {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::vector<Apex> apexes_of(const std::vector<float>& intensity, double snr = 0) {
  std::vector<Apex> out;
  find_apexes(intensity, PickSettings{snr}, out);
  return out;
}

// A Gaussian of the given centre, width and height sampled at points 0..n-1,
// optionally clipped at a ceiling.
std::vector<float> gaussian(std::size_t n, double centre, double sigma, double height,
                            double ceiling = std::numeric_limits<double>::infinity()) {
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double x = (static_cast<double>(i) - centre) / sigma;
    out[i] = static_cast<float>(std::min(height * std::exp(-0.5 * x * x), ceiling));
  }
  return out;
}

struct GaussianCase {
  double centre;
  double sigma;
  double height;
};

TEST(FindApexes, SampledGaussianGivesItsCentreAndHeightAtAnyPhase) {
  const GaussianCase cases[] = {
      {20.0, 2.0, 1000.0},   {20.5, 2.0, 1000.0},  {20.25, 1.0, 50.0},  {20.49, 0.7, 1e6},
      {19.51, 3.5, 12.0},    {20.1, 0.45, 300.0},  {20.9, 5.0, 2e4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "centre " << c.centre << " sigma " << c.sigma);
    // Heights are stored as float: a relative error of 1e-7 per point.
    const auto found = apexes_of(gaussian(41, c.centre, c.sigma, c.height));
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NEAR(found[0].position, c.centre, 2e-5 * c.sigma * c.sigma);
    EXPECT_NEAR(found[0].height, c.height, 1e-6 * c.height);
  }
}

TEST(FindApexes, ClippedGaussianIsPlacedByItsFlanks) {
  const GaussianCase cases[] = {{20.0, 2.0, 1000.0}, {20.3, 2.0, 1000.0}, {19.8, 3.0, 500.0},
                                {20.45, 1.5, 80.0}};
  for (const double ceiling_fraction : {0.9, 0.6, 0.4}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "centre " << c.centre << " clipped at " << ceiling_fraction);
      const double ceiling = ceiling_fraction * c.height;
      const auto profile = gaussian(41, c.centre, c.sigma, c.height, ceiling);
      const auto found = apexes_of(profile);
      ASSERT_EQ(found.size(), 1u);
      EXPECT_NEAR(found[0].position, c.centre, 1e-3);
      const auto clipped = std::count(profile.begin(), profile.end(), static_cast<float>(ceiling));
      if (clipped >= 3) {
        EXPECT_EQ(found[0].height, static_cast<double>(static_cast<float>(ceiling)));
      } else {
        // One or two clipped points keep the shape of a Gaussian top.
        EXPECT_GE(found[0].height, static_cast<double>(static_cast<float>(ceiling)));
        EXPECT_LE(found[0].height, c.height);
      }
    }
  }
}

TEST(FindApexes, WideNoisyPeaksUseTheirWholeTop) {
  // Baseline-like noise of 1% of the height on every point: three points of
  // a wide peak curve too little to outweigh it; the top down to half height
  // does.
  std::mt19937 random(17);
  std::uniform_real_distribution<double> noise(-0.01, 0.01);
  for (const double sigma : {4.0, 6.0, 9.0}) {
    for (int round = 0; round < 20; ++round) {
      const double centre = 60.0 + round * 0.05;
      std::vector<float> profile = gaussian(121, centre, sigma, 1000.0);
      for (float& value : profile) value = static_cast<float>(value + 1000.0 * noise(random));
      for (float& value : profile) value = std::max(value, 0.0f);
      // A baseline of 10 around it sets the noise level.
      profile.insert(profile.end(), 400, 10.0f);
      std::vector<Apex> found;
      find_apexes(profile, PickSettings{3}, found);
      ASSERT_EQ(found.size(), 1u) << "sigma " << sigma << " centre " << centre;
      EXPECT_NEAR(found[0].position, centre, 0.04 * sigma) << "sigma " << sigma << " centre " << centre;
      EXPECT_NEAR(found[0].height, 1000.0, 15.0);
    }
  }
}

struct ShapeCase {
  const char* name;
  std::vector<float> intensity;
  std::vector<Apex> expected;
};

TEST(FindApexes, ShapesWithoutAGaussianThroughTheTop) {
  const ShapeCase cases[] = {
      {"empty", {}, {}},
      {"all zero", {0, 0, 0, 0}, {}},
      {"single point", {7}, {{0, 7}}},
      {"spike between zeros", {0, 0, 5, 0, 0}, {{2, 5}}},
      {"maximum at the first point", {9, 4, 1}, {{0, 9}}},
      {"maximum at the last point", {1, 4, 9}, {{2, 9}}},
      {"zero run cuts a peak in two", {1, 3, 0, 3, 1}, {{1, 3}, {3, 3}}},
      {"NaN reads as zero", {1, kNaN, 3, 1}, {{0, 1}, {2, 3}}},
      {"infinity reads as zero", {1, kInf, 1}, {{0, 1}, {2, 1}}},
      {"negative infinity reads as zero", {-kInf, 2, -kInf}, {{1, 2}}},
      {"negative values read as zero", {-5, 2, -1}, {{1, 2}}},
      {"three equal points", {1, 4, 4, 4, 1}, {{2, 4}}},
      // exp(-k (0.5)^2) = 4 / h and exp(-k (1.5)^2) = 1 / h give h = 4 * 2^(1/4).
      {"two equal points are a Gaussian between them", {1, 4, 4, 1}, {{1.5, 4.756828460010884}}},
      {"plateau without a left flank", {5, 5, 1}, {{0.5, 5}}},
      {"plateau without a right flank", {0, 2, 5, 5, 5}, {{3, 5}}},
      {"plateau cut by zeros", {0, 6, 6, 6, 0}, {{2, 6}}},
      {"shoulder plateau is not a maximum", {1, 3, 3, 8, 0}, {{3, 8}}},
      {"descending plateau is not a maximum", {0, 9, 3, 3, 1}, {{1, 9}}},
      {"constant profile", {2, 2, 2, 2}, {{1.5, 2}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto found = apexes_of(c.intensity);
    ASSERT_EQ(found.size(), c.expected.size());
    for (std::size_t k = 0; k < found.size(); ++k) {
      EXPECT_NEAR(found[k].position, c.expected[k].position, 1e-12);
      EXPECT_NEAR(found[k].height, c.expected[k].height, 1e-12 * c.expected[k].height);
    }
  }
}

TEST(FindApexes, OverlappingPairKeepsBothApexesNearTheirCentres) {
  std::vector<float> profile = gaussian(60, 20.2, 2.0, 1000.0);
  const std::vector<float> second = gaussian(60, 29.7, 2.0, 600.0);
  for (std::size_t i = 0; i < profile.size(); ++i) profile[i] += second[i];
  const auto found = apexes_of(profile);
  ASSERT_EQ(found.size(), 2u);
  // Each top is lifted by the other's tail: well within a tenth of a point.
  EXPECT_NEAR(found[0].position, 20.2, 0.1);
  EXPECT_NEAR(found[1].position, 29.7, 0.1);
}

struct NoiseCase {
  const char* name;
  std::vector<float> intensity;
  double noise;
};

TEST(NoiseLevel, MedianOfThePositiveFiniteIntensities) {
  const NoiseCase cases[] = {
      {"empty", {}, 0},
      {"no signal", {0, -1, kNaN, kInf}, 0},
      {"zeros ignored", {0, 0, 0, 1, 1, 1, 10}, 1},
      {"upper median of an even count", {4, 1, 3, 2}, 3},
      {"non-finite ignored", {kNaN, 5, kInf, 6, 7}, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(noise_level(c.intensity), c.noise);
  }
}

TEST(NoiseLevel, LongProfilesAreSampledEvenly) {
  // 100000 positive points: 60% at 1, 40% at 100, interleaved; the strided
  // sample keeps the proportions, so the median stays at the baseline.
  std::vector<float> profile(100000);
  for (std::size_t i = 0; i < profile.size(); ++i) profile[i] = i % 5 < 3 ? 1.0f : 100.0f;
  EXPECT_EQ(noise_level(profile), 1.0);
}

struct ThresholdCase {
  double snr;
  std::size_t kept;
};

TEST(FindApexes, ThresholdScalesTheNoiseLevel) {
  // Maxima of 1 (four), 2, 3.5 and 10 between zeros; noise level 1.
  const std::vector<float> profile = {0, 1, 1, 0, 0, 2, 0, 0, 1, 0, 3.5, 0, 1, 1, 0, 10, 0, 1, 0};
  const ThresholdCase cases[] = {{0, 7},    {-1, 7},  {std::numeric_limits<double>::quiet_NaN(), 7},
                                 {1, 7},    {1.01, 3}, {2, 3}, {2.01, 2}, {3.5, 2}, {3.6, 1}, {10, 1},
                                 {10.5, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "snr " << c.snr);
    EXPECT_EQ(apexes_of(profile, c.snr).size(), c.kept);
  }
}

struct RippleCase {
  const char* name;
  std::vector<float> top;  // put on a baseline of 1 (noise level 1, ripples below 2)
  std::size_t apexes;
};

TEST(FindApexes, RipplesOnATopAreOnePeak) {
  const RippleCase cases[] = {
      {"dip of 1", {50, 90, 89, 91, 50}, 1},
      {"two dips", {50, 90, 89.5, 90.5, 89.8, 91, 50}, 1},
      {"dip of exactly the allowance", {50, 90, 88, 91, 50}, 2},
      {"deep valley", {50, 90, 60, 91, 50}, 2},
      {"zero between", {50, 90, 0, 90.5, 50}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> profile(30, 1.0f);
    profile.insert(profile.begin() + 15, c.top.begin(), c.top.end());
    EXPECT_EQ(apexes_of(profile, 3).size(), c.apexes);
    // Without a threshold every maximum stays.
    EXPECT_GE(apexes_of(profile, 0).size(), c.apexes);
  }
}

TEST(FindApexes, ArbitraryInputGivesOrderedPositionsAndFiniteHeights) {
  std::mt19937 random(7);
  const float specials[] = {0, 0, 0, kNaN, kInf, -kInf, -3, std::numeric_limits<float>::max(),
                            std::numeric_limits<float>::denorm_min(), 1e-30f};
  for (int round = 0; round < 200; ++round) {
    std::vector<float> profile(random() % 300);
    for (float& value : profile) {
      const unsigned pick = random() % 20;
      value = pick < std::size(specials) ? specials[pick]
                                         : static_cast<float>(random() % 1000) * (pick % 3 == 0 ? 1e30f : 1.0f);
    }
    const auto found = apexes_of(profile, round % 4);
    double last = -1;
    for (const Apex& apex : found) {
      ASSERT_GT(apex.position, last);
      ASSERT_LE(apex.position, static_cast<double>(profile.size()) - 1);
      ASSERT_TRUE(std::isfinite(apex.height));
      ASSERT_GT(apex.height, 0);
      last = apex.position;
    }
  }
}

raw::calibration::TofCalibration test_calibration() {
  const std::array<double, 10> coefficients{4.8e-4, 12.5, 20000.0, 80000.0, 1.2e-3,
                                            2.5e-8, -3.0e-13, 0.0, 0.0, 0.0};
  return *raw::calibration::TofCalibration::from_coefficients(coefficients, 0b111, false);
}

TEST(PickFlightTimes, GaussianInFlightTimeGivesTheCalibratedCentre) {
  const auto calibration = test_calibration();
  const FlightAxis axis{30000.0, 0.5};
  const double centres[] = {100.0, 100.37, 1500.5, 7000.81};
  for (const double centre : centres) {
    SCOPED_TRACE(centre);
    std::vector<float> profile = gaussian(8000, centre, 3.0, 5000.0);
    const auto peaks = pick_flight_times(profile, axis, calibration, PickSettings{0});
    ASSERT_EQ(peaks.mz.size(), 1u);
    ASSERT_EQ(peaks.intensity.size(), 1u);
    const double expected = calibration.mz(axis.x0 + centre * axis.dx);
    EXPECT_NEAR(peaks.mz[0], expected, 1e-9 * expected);  // 0.001 ppm
    EXPECT_NEAR(peaks.intensity[0], 5000.0f, 5e-3f);
  }
}

// Neighbouring apexes stay apart, so their m/z differ and keep their order:
// two plateaus with a pair of equal, slightly lower points between them
// are each fitted by their flanks toward the midpoint between them (the
// fuzzer's finding: both landed a hair from it, at one flight time).
TEST(PickFlightTimes, PlateausFacingEachOtherKeepDistinctMz) {
  const auto calibration = test_calibration();
  const FlightAxis axis{30000.0, 0.5};
  constexpr float A = 2.7200830e23f;  // the plateaus
  constexpr float E = 2.7200646e23f;  // the pair between them
  constexpr float B = 2.7153791e23f;
  const std::vector<float> found_by_fuzzing{9.4e-39f, 9.57e-15f, B, A, A, 1.0987e25f, 1.9716e23f,
                                            A, B, A, A, E, E, A, A, 1.5112e23f, A, A, 1.78e-15f, -6.64e19f};
  std::vector<std::vector<float>> profiles{found_by_fuzzing};
  // The same shape with other flanks and gaps.
  for (float outer : {B, 1.5e23f, 1e-15f}) {
    for (std::size_t pair = 1; pair <= 3; ++pair) {
      std::vector<float> profile{outer, A, A};
      profile.insert(profile.end(), pair, E);
      profile.insert(profile.end(), {A, A, outer});
      profiles.push_back(profile);
    }
  }
  for (const auto& profile : profiles) {
    SCOPED_TRACE(::testing::Message() << profile.size() << " points");
    std::vector<Apex> found;
    find_apexes(profile, PickSettings{0}, found);
    for (std::size_t k = 1; k < found.size(); ++k) {
      EXPECT_GE(found[k].position - found[k - 1].position, 2 * kApexMargin);
    }
    const auto peaks = pick_flight_times(profile, axis, calibration, PickSettings{0});
    ASSERT_EQ(peaks.mz.size(), found.size());
    for (std::size_t k = 1; k < peaks.mz.size(); ++k) EXPECT_GT(peaks.mz[k], peaks.mz[k - 1]) << "apex " << k;
  }
}

TEST(PickFlightTimes, PeakOnOnePointHasThatPointsMzBitForBit) {
  const auto calibration = test_calibration();
  const FlightAxis axis{25000.0, 0.25};
  std::vector<float> profile(3000, 0.0f);
  const std::size_t spikes[] = {0, 17, 1024, 2999};
  for (std::size_t spike : spikes) profile[spike] = 50.0f;
  std::vector<double> times(profile.size());
  for (std::size_t i = 0; i < times.size(); ++i) times[i] = axis.x0 + static_cast<double>(i) * axis.dx;
  std::vector<double> point_mz(times.size());
  calibration.mz_into(times, point_mz.data());

  const auto peaks = pick_flight_times(profile, axis, calibration, PickSettings{0});
  ASSERT_EQ(peaks.mz.size(), std::size(spikes));
  for (std::size_t k = 0; k < std::size(spikes); ++k) {
    EXPECT_EQ(peaks.mz[k], point_mz[spikes[k]]);
    EXPECT_EQ(peaks.intensity[k], 50.0f);
  }
}

TEST(PickFlightTimes, HeightsBeyondFloatSaturate) {
  const auto calibration = test_calibration();
  const float top = std::numeric_limits<float>::max();
  const std::vector<float> profile = {top / 4, top, top / 4};
  const auto peaks = pick_flight_times(profile, {30000.0, 1.0}, calibration, PickSettings{0});
  ASSERT_EQ(peaks.intensity.size(), 1u);
  EXPECT_EQ(peaks.intensity[0], top);
}

TEST(InterpolateMz, ExactOnAQuadraticAxisAndAtThePoints) {
  std::vector<double> mz(50);
  auto axis = [](double p) { return 100.0 + 0.01 * p + 3e-5 * p * p; };
  for (std::size_t i = 0; i < mz.size(); ++i) mz[i] = axis(static_cast<double>(i));
  const double positions[] = {0, 0.3, 1, 7.5, 7.49, 23.25, 48.6, 49};
  for (double p : positions) {
    SCOPED_TRACE(p);
    EXPECT_NEAR(interpolate_mz(mz, p), axis(p), 1e-12 * axis(p));
  }
  for (std::size_t i = 0; i < mz.size(); ++i) EXPECT_EQ(interpolate_mz(mz, static_cast<double>(i)), mz[i]);
  EXPECT_EQ(interpolate_mz(std::vector<double>{5.0}, 0), 5.0);
  EXPECT_EQ(interpolate_mz(std::vector<double>{5.0, 7.0}, 0.5), 6.0);
}

TEST(PickMz, AgreesWithTheCalibrationOnATimeOfFlightAxis) {
  const auto calibration = test_calibration();
  const FlightAxis axis{40000.0, 0.5};
  std::vector<double> times(2000);
  for (std::size_t i = 0; i < times.size(); ++i) times[i] = axis.x0 + static_cast<double>(i) * axis.dx;
  std::vector<double> mz(times.size());
  calibration.mz_into(times, mz.data());
  std::vector<float> profile = gaussian(2000, 300.4, 2.5, 100.0);
  const std::vector<float> other = gaussian(2000, 1700.85, 2.5, 40.0);
  for (std::size_t i = 0; i < profile.size(); ++i) profile[i] += other[i];

  const auto exact = pick_flight_times(profile, axis, calibration, PickSettings{0});
  const auto from_arrays = pick_mz(mz, profile, PickSettings{0});
  ASSERT_EQ(exact.mz.size(), 2u);
  ASSERT_EQ(from_arrays.mz.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_NEAR(from_arrays.mz[k], exact.mz[k], 1e-11 * exact.mz[k]);
    EXPECT_EQ(from_arrays.intensity[k], exact.intensity[k]);
  }
  // Arrays of different lengths: the common prefix.
  EXPECT_EQ(pick_mz(std::span<const double>(mz).first(1000), profile, PickSettings{0}).mz.size(), 1u);
  EXPECT_TRUE(pick_mz({}, profile, PickSettings{0}).mz.empty());
}

}  // namespace
}  // namespace karvel::centroid
