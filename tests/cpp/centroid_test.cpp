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

std::vector<Apex> apexes_of(const std::vector<float>& intensity, double snr = 0, bool keep_spikes = false) {
  std::vector<Apex> out;
  find_apexes(intensity, PickSettings{snr, keep_spikes}, out);
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
  // Noise of 1% of the height on every point, the baseline of 10 around
  // the peak included (it sets the noise level and spread): three points of
  // a wide peak curve too little to outweigh it; the top down to half
  // height does.
  std::mt19937 random(17);
  std::uniform_real_distribution<double> noise(-0.01, 0.01);
  for (const double sigma : {4.0, 6.0, 9.0}) {
    for (int round = 0; round < 20; ++round) {
      const double centre = 60.0 + round * 0.05;
      std::vector<float> profile = gaussian(121, centre, sigma, 1000.0);
      profile.insert(profile.end(), 400, 0.0f);
      for (float& value : profile) value = static_cast<float>(value + 10.0 + 1000.0 * noise(random));
      for (float& value : profile) value = std::max(value, 0.0f);
      std::vector<Apex> found;
      find_apexes(profile, PickSettings{3}, found);
      ASSERT_EQ(found.size(), 1u) << "sigma " << sigma << " centre " << centre;
      EXPECT_NEAR(found[0].position, centre, 0.04 * sigma) << "sigma " << sigma << " centre " << centre;
      EXPECT_NEAR(found[0].height, 1010.0, 15.0);
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
    const auto found = apexes_of(c.intensity, 0, true);
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

TEST(FindApexes, ClosePairIsFittedTogether) {
  // Two maxima with a shallow valley between them, on a baseline: each
  // fitted alone (less the other's fit) was pulled in or pushed out by up
  // to a point at one FWHM apart.
  const double fwhm = 2.0 * std::sqrt(2.0 * std::log(2.0)) * 3.0;
  struct PairCase {
    double apart;  // in FWHM
    double ratio;  // first / second
  };
  for (const PairCase c : {PairCase{1.0, 1.0}, PairCase{1.25, 1.0}, PairCase{1.25, 3.0}, PairCase{1.25, 1.0 / 3}}) {
    for (const double phase : {0.0, 0.37}) {
      SCOPED_TRACE(testing::Message() << c.apart << " FWHM, ratio " << c.ratio << ", phase " << phase);
      const double first = 30.0 + phase;
      const double second = first + c.apart * fwhm;
      std::vector<float> profile = gaussian(70, first, 3.0, 3000.0);
      const auto other = gaussian(70, second, 3.0, 3000.0 / c.ratio);
      for (std::size_t i = 0; i < profile.size(); ++i) profile[i] += other[i] + 20.0f;
      const auto found = apexes_of(profile, 3.0);
      ASSERT_EQ(found.size(), 2u);
      EXPECT_NEAR(found[0].position, first, 0.1);
      EXPECT_NEAR(found[1].position, second, 0.1);
    }
  }
}

TEST(FindApexes, UnresolvedShoulderPullsTheMajorApexLess) {
  // A major peak and a third of it, closer than resolved: one maximum, lifted
  // toward the shoulder. Fitted by its whole top the apex moved 0.7 point
  // (0.4 at one FWHM apart); fitted by the steeper flank, about half that.
  struct ShoulderCase {
    double apart;  // in FWHM
    double within;
  };
  const double fwhm = 2.0 * std::sqrt(2.0 * std::log(2.0)) * 3.0;
  for (const ShoulderCase c : {ShoulderCase{0.75, 0.45}, ShoulderCase{1.0, 0.25}}) {
    for (const double phase : {0.0, 0.3, 0.6}) {
      for (const double side : {-1.0, 1.0}) {
        SCOPED_TRACE(testing::Message() << c.apart << " FWHM, phase " << phase << ", side " << side);
        const double major = 30.0 + phase;
        std::vector<float> profile = gaussian(61, major, 3.0, 3000.0);
        const auto minor = gaussian(61, major + side * c.apart * fwhm, 3.0, 1000.0);
        for (std::size_t i = 0; i < profile.size(); ++i) profile[i] += minor[i] + 20.0f;
        const auto found = apexes_of(profile, 3.0);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_NEAR(found[0].position, major, c.within);
      }
    }
  }
}

TEST(FindApexes, UnresolvedShoulderIsSplitOffTheMajor) {
  // The same pairs with counting noise: fitted as two Gaussians of one
  // width, the major lies a tenth of a point or less from its centre on
  // average; by its steeper flank alone, 0.4 (0.75 FWHM) and 0.2 (1 FWHM).
  // A minor of a tenth is too slight for that; fitted by its whole top the
  // major lay 0.16 point from its centre at 0.75 FWHM and 0.09 at 1 FWHM,
  // fitted as a pair over a wider reach a few hundredths.
  struct PairCase {
    double ratio;  // major / minor
    double apart;  // in FWHM
    double within;
  };
  const double fwhm = 2.0 * std::sqrt(2.0 * std::log(2.0)) * 3.0;
  std::mt19937 random(7);
  for (const PairCase c : {PairCase{3, 0.75, 0.15}, PairCase{3, 1.0, 0.15}, PairCase{10, 0.75, 0.1},
                           PairCase{10, 1.0, 0.05}}) {
    double total = 0;
    for (int draw = 0; draw < 20; ++draw) {
      const double major = 30.0 + 0.05 * draw;
      const double side = draw % 2 == 0 ? 1.0 : -1.0;
      const auto top = gaussian(61, major, 3.0, 20000.0);
      const auto minor = gaussian(61, major + side * c.apart * fwhm, 3.0, 20000.0 / c.ratio);
      std::vector<float> profile(61);
      for (std::size_t i = 0; i < profile.size(); ++i) {
        profile[i] = static_cast<float>(std::poisson_distribution<int>(top[i] + minor[i] + 20.0)(random));
      }
      const auto found = apexes_of(profile, 3.0);
      ASSERT_EQ(found.size(), 1u);
      total += std::fabs(found[0].position - major);
    }
    EXPECT_LT(total / 20, c.within) << "1:" << c.ratio << " at " << c.apart << " FWHM";
  }
}

TEST(FindApexes, FlatTopOfTwoEqualPeaksIsSplitOnlyOnStrongEvidence) {
  // Two equal peaks 0.75 FWHM apart make one flat maximum between them,
  // 2.6 points from each; where the noise leaves it lopsided, the split
  // puts the apex on one of them. A single Gaussian as wide and high is
  // never split.
  const double fwhm = 2.0 * std::sqrt(2.0 * std::log(2.0)) * 3.0;
  std::mt19937 random(11);
  auto noisy = [&](const std::vector<float>& mean) {
    std::vector<float> out(mean.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<float>(std::poisson_distribution<int>(mean[i] + 20.0)(random));
    }
    return out;
  };
  int split = 0;
  double single_worst = 0;
  for (int draw = 0; draw < 60; ++draw) {
    const double first = 30.0 + 0.05 * draw;
    auto pair = gaussian(61, first, 3.0, 20000.0);
    const auto second = gaussian(61, first + 0.75 * fwhm, 3.0, 20000.0);
    for (std::size_t i = 0; i < pair.size(); ++i) pair[i] += second[i];
    const auto found = apexes_of(noisy(pair), 3.0);
    ASSERT_EQ(found.size(), 1u);
    split += std::min(std::fabs(found[0].position - first), std::fabs(found[0].position - first - 0.75 * fwhm)) < 0.3;
    const auto alone = apexes_of(noisy(gaussian(61, first, 3.9, 37000.0)), 3.0);
    ASSERT_EQ(alone.size(), 1u);
    single_worst = std::max(single_worst, std::fabs(alone[0].position - first));
  }
  EXPECT_GT(split, 0);
  EXPECT_LT(single_worst, 0.1);
}

struct NoiseCase {
  const char* name;
  std::vector<float> intensity;
  double noise;
};

TEST(NoiseLevel, MedianOfAllPointsOrTheLowestKeptOnAZeroedBaseline) {
  std::vector<float> zeroed(90, 0.0f);
  for (int k = 0; k < 10; ++k) zeroed.push_back(static_cast<float>(40 + k));
  const NoiseCase cases[] = {
      {"empty", {}, 0},
      {"no signal", {0, -1, kNaN, kInf}, 0},
      {"zeros are the low end", {0, 0, 1, 1, 1, 10, 10}, 1},
      {"upper median of an even count", {4, 1, 3, 2}, 3},
      {"non-finite values are zeros", {kNaN, 5, kInf, 6, 7}, 5},
      {"baseline zeroed below 40", zeroed, 40},
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
    EXPECT_EQ(apexes_of(profile, c.snr, true).size(), c.kept);
  }
}

struct RippleCase {
  const char* name;
  std::vector<float> top;  // put on a baseline alternating 10 and 12
  std::size_t apexes;
};

TEST(FindApexes, RipplesOnATopAreOnePeakAndPeaksOnATailStay) {
  // The baseline's noise level is 12 and its spread 2 / 0.954: dips of a
  // few counts on a top near 900 are noise, dips of hundreds are not; a
  // peak on the tail of a large one stays when it stands out from the
  // baseline's noise.
  const RippleCase cases[] = {
      {"dip of 5 on the top", {500, 900, 895, 905, 500}, 1},
      {"two dips on the top", {500, 900, 890, 902, 893, 905, 500}, 1},
      {"dip of 20 on the top", {500, 900, 880, 905, 500}, 1},
      {"deep valley", {500, 900, 600, 905, 500}, 2},
      {"zero between", {500, 900, 0, 905, 500}, 2},
      {"minor on the tail", {300, 900, 300, 100, 60, 75, 60, 30}, 2},
      {"ripple on the tail", {300, 900, 300, 100, 60, 62, 50, 30}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<float> profile(30);
    for (std::size_t i = 0; i < profile.size(); ++i) profile[i] = i % 2 == 0 ? 10.0f : 12.0f;
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

// Points without signal (NaN, infinities, zero or negative) are zeros
// wherever they fall, and where the profile starts does not matter: the
// same peaks, moved by the points put in front (on peaks without baseline
// noise, where the fits meet no near ties).
TEST(FindApexes, PointsWithoutSignalAndAShiftedStartKeepThePeaks) {
  std::mt19937 random(11);
  const float nothing[] = {0.0f, -0.0f, kNaN, kInf, -kInf, -5.0f};
  auto blank = [&](std::vector<float> profile) {
    for (float& value : profile) {
      if (value == 0.0f) value = nothing[random() % std::size(nothing)];
    }
    return profile;
  };
  for (int round = 0; round < 60; ++round) {
    std::vector<float> peaks(40 + random() % 260, 0.0f);
    for (int peak = 0; peak < 4; ++peak) {
      const double centre = static_cast<double>(random() % peaks.size());
      const auto bump = gaussian(peaks.size(), centre, 1.0 + random() % 3, 100.0 + random() % 900);
      for (std::size_t i = 0; i < peaks.size(); ++i) peaks[i] += bump[i] >= 1.0f ? bump[i] : 0.0f;
    }
    // Baseline counts with zero runs under the peaks.
    std::vector<float> profile = peaks;
    for (float& value : profile) value += random() % 3 == 0 ? 0.0f : static_cast<float>(random() % 20);
    for (const double snr : {0.0, 3.0}) {
      EXPECT_EQ(apexes_of(blank(profile), snr), apexes_of(profile, snr)) << "round " << round;
    }
    const auto expected = apexes_of(peaks);
    for (std::size_t shift = 1; shift <= 9; ++shift) {
      std::vector<float> shifted(shift, nothing[shift % std::size(nothing)]);
      const auto blanked = blank(peaks);
      shifted.insert(shifted.end(), blanked.begin(), blanked.end());
      const auto found = apexes_of(shifted);
      ASSERT_EQ(found.size(), expected.size()) << "round " << round << ", shift " << shift;
      for (std::size_t k = 0; k < found.size(); ++k) {
        EXPECT_NEAR(found[k].position, expected[k].position + static_cast<double>(shift), 1e-6);
        EXPECT_NEAR(found[k].height, expected[k].height, 1e-9 * expected[k].height);
      }
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

// A spike kept on request.
TEST(PickFlightTimes, PeakOnOnePointHasThatPointsMzBitForBit) {
  const auto calibration = test_calibration();
  const FlightAxis axis{25000.0, 0.25};
  std::vector<float> profile(3000, 0.0f);
  const std::size_t spikes[] = {0, 17, 1024, 2999};
  for (std::size_t spike : spikes) profile[spike] = 50.0f;
  const PickSettings keep_spikes{0, true};
  std::vector<double> times(profile.size());
  for (std::size_t i = 0; i < times.size(); ++i) times[i] = axis.x0 + static_cast<double>(i) * axis.dx;
  std::vector<double> point_mz(times.size());
  calibration.mz_into(times, point_mz.data());

  const auto peaks = pick_flight_times(profile, axis, calibration, keep_spikes);
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


// Properties over generated profiles: Gaussian peaks with Poisson counting
// noise on a baseline of mean 20 counts, the kind of profile a
// time-of-flight detector gives.
namespace generated {

constexpr double kBaseline = 20.0;
constexpr double kFwhm = 2.3548200450309493;  // in sigmas

struct Peak {
  double centre;
  double sigma;
  double height;
};

// Counts drawn around the baseline and the peaks; with zero_below, counts
// under it read as zero, as behind a detector threshold.
std::vector<float> counts(std::mt19937& random, std::size_t points, const std::vector<Peak>& peaks,
                          double zero_below = 0) {
  std::vector<double> mean(points, kBaseline);
  for (const Peak& peak : peaks) {
    for (std::size_t i = 0; i < points; ++i) {
      const double x = (static_cast<double>(i) - peak.centre) / peak.sigma;
      mean[i] += peak.height * std::exp(-0.5 * x * x);
    }
  }
  std::vector<float> out(points);
  for (std::size_t i = 0; i < points; ++i) {
    const double value = static_cast<double>(std::poisson_distribution<long>(mean[i])(random));
    out[i] = value < zero_below ? 0.0f : static_cast<float>(value);
  }
  return out;
}

// The found apex nearest to position, or nullptr when none lies within reach.
const Apex* nearest(const std::vector<Apex>& found, double position, double reach) {
  const Apex* best = nullptr;
  for (const Apex& apex : found) {
    if (std::fabs(apex.position - position) <= reach &&
        (best == nullptr || std::fabs(apex.position - position) < std::fabs(best->position - position))) {
      best = &apex;
    }
  }
  return best;
}

double log_uniform(std::mt19937& random, double low, double high) {
  return low * std::pow(high / low, std::uniform_real_distribution<double>(0, 1)(random));
}

struct PairCase {
  double ratio;       // major / minor
  double separation;  // in FWHM
  double recall;      // of the minor within half a point, at least
};

TEST(PickerProperties, MinorPeakOnANeighboursTailIsFoundWhereItIs) {
  // The minor of each pair stands 10 to 100 times above the baseline.
  const PairCase cases[] = {{10, 1.5, 0.8}, {3, 1.25, 0.6}, {3, 1.5, 0.9}, {1, 1.25, 0.85}, {10, 2.0, 0.95}};
  std::mt19937 random(2024);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "1:" << c.ratio << " at " << c.separation << " FWHM");
    int found = 0;
    double pull = 0;
    int pulled = 0;
    constexpr int kRounds = 150;
    for (int round = 0; round < kRounds; ++round) {
      const double sigma = std::uniform_real_distribution<double>(2.0, 4.0)(random);
      const double minor = kBaseline * log_uniform(random, 10, 100);
      const double first = 100.0 + std::uniform_real_distribution<double>(0, 1)(random);
      const double second = first + c.separation * kFwhm * sigma;
      const bool minor_first = round % 2 == 0;
      const std::vector<Peak> peaks{{first, sigma, minor_first ? minor : minor * c.ratio},
                                    {second, sigma, minor_first ? minor * c.ratio : minor}};
      const auto profile = counts(random, 240, peaks);
      const auto apexes = apexes_of(profile, kDefaultSnr);
      const double minor_at = minor_first ? first : second;
      const double major_at = minor_first ? second : first;
      if (nearest(apexes, minor_at, 0.5) != nullptr) ++found;
      // Neither apex is pulled toward the other on average.
      for (const double at : {minor_at, major_at}) {
        if (const Apex* apex = nearest(apexes, at, 0.25 * c.separation * kFwhm * sigma)) {
          const double toward = (at == minor_at) == (minor_at < major_at) ? 1.0 : -1.0;
          pull += toward * (apex->position - at) / sigma;
          ++pulled;
        }
      }
    }
    EXPECT_GE(found, c.recall * kRounds);
    ASSERT_GT(pulled, 0);
    EXPECT_LT(std::fabs(pull / pulled), 0.05);  // in sigmas
  }
}

TEST(PickerProperties, SinglePointSpikesAreNotPeaksUnlessKept) {
  std::mt19937 random(77);
  for (const bool zeroed : {false, true}) {
    SCOPED_TRACE(zeroed ? "zeroed baseline" : "noisy baseline");
    int peaks_found = 0;
    int peaks_total = 0;
    for (int round = 0; round < 40; ++round) {
      std::vector<Peak> peaks;
      for (int k = 0; k < 6; ++k) {
        peaks.push_back({40.0 + 60.0 * k + std::uniform_real_distribution<double>(0, 1)(random),
                         std::uniform_real_distribution<double>(0.8, 4.0)(random),
                         kBaseline * log_uniform(random, 10, 1000)});
      }
      auto profile = counts(random, 400, peaks, zeroed ? 2 * kBaseline : 0);
      // Spikes of 20 to 1000 times the baseline between the peaks.
      std::vector<std::size_t> spikes;
      for (int k = 0; k < 6; ++k) {
        const std::size_t at = 70 + 60 * static_cast<std::size_t>(k) + random() % 5;
        profile[at] += static_cast<float>(kBaseline * log_uniform(random, 20, 1000));
        spikes.push_back(at);
      }
      const auto apexes = apexes_of(profile, kDefaultSnr);
      for (const std::size_t at : spikes) {
        EXPECT_EQ(nearest(apexes, static_cast<double>(at), 0.5), nullptr) << "spike at " << at;
      }
      for (const Peak& peak : peaks) peaks_found += nearest(apexes, peak.centre, 0.25) != nullptr;
      peaks_total += static_cast<int>(peaks.size());
      // Kept on request.
      const auto kept = apexes_of(profile, kDefaultSnr, true);
      for (const std::size_t at : spikes) {
        const Apex* apex = nearest(kept, static_cast<double>(at), 0.5);
        ASSERT_NE(apex, nullptr) << "spike at " << at;
      }
    }
    EXPECT_GE(peaks_found, 0.98 * peaks_total);
  }
}

TEST(PickerProperties, ZeroedBaselineKeepsThePeaksANoisyOneKeeps) {
  // The same peaks, 10 to 150 times the baseline, on the noisy baseline and
  // with every count under 40 zeroed: the zeros are baseline, not absence.
  for (const double sigma : {1.0, 2.5, 6.0}) {
    SCOPED_TRACE(testing::Message() << "sigma " << sigma);
    std::mt19937 random(static_cast<unsigned>(sigma * 10));
    int total = 0;
    int noisy_found = 0;
    int zeroed_found = 0;
    for (int round = 0; round < 20; ++round) {
      std::vector<Peak> peaks;
      for (double at = 30; at + 30 < 1500; at += 14 * sigma + 10) {
        peaks.push_back({at + std::uniform_real_distribution<double>(0, 1)(random), sigma,
                         kBaseline * log_uniform(random, 10, 150)});
      }
      std::mt19937 same = random;
      const auto noisy = apexes_of(counts(random, 1500, peaks), kDefaultSnr);
      const auto zeroed = apexes_of(counts(same, 1500, peaks, 2 * kBaseline), kDefaultSnr);
      for (const Peak& peak : peaks) {
        ++total;
        noisy_found += nearest(noisy, peak.centre, 0.1 * sigma + 0.15) != nullptr;
        zeroed_found += nearest(zeroed, peak.centre, 0.1 * sigma + 0.15) != nullptr;
      }
    }
    EXPECT_GE(noisy_found, 0.98 * total);
    EXPECT_GE(zeroed_found, 0.98 * total);
  }
}

}  // namespace generated

}  // namespace
}  // namespace karvel::centroid
