// The run metrics of src/qc against values worked out by hand on small
// tables of rows, and the calibration drift against calibrations whose
// difference is known in closed form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "qc/calibration_drift.hpp"
#include "qc/metrics.hpp"
#include "qc/scan_facts.hpp"

namespace karvel::qc {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct RowSpec {
  std::uint32_t ms_level;
  double rt;
  double tic;
  std::int8_t polarity = 1;
  bool decoded = true;
};

std::vector<ScanFacts> rows_of(const std::vector<RowSpec>& specs) {
  std::vector<ScanFacts> rows;
  for (std::size_t i = 0; i < specs.size(); ++i) {
    ScanFacts row;
    row.index = static_cast<std::uint32_t>(i);
    row.ms_level = specs[i].ms_level;
    row.rt = specs[i].rt;
    row.tic = specs[i].decoded ? specs[i].tic : kNaN;
    row.polarity = specs[i].polarity;
    row.decoded = specs[i].decoded;
    row.lowest_mz = row.highest_mz = row.scan_low_mz = row.scan_high_mz = kNaN;
    row.calibration_drift_ppm = kNaN;
    row.precursor_mz = kNaN;
    rows.push_back(row);
  }
  return rows;
}

std::vector<RowSpec> ms1(const std::vector<double>& tics, double step = 10) {
  std::vector<RowSpec> specs;
  for (std::size_t i = 0; i < tics.size(); ++i) specs.push_back({1, step * static_cast<double>(i), tics[i]});
  return specs;
}

void expect_quartets(const std::optional<Quartets>& actual, const Quartets& expected) {
  ASSERT_TRUE(actual.has_value());
  for (std::size_t k = 0; k < 4; ++k) EXPECT_NEAR((*actual)[k], expected[k], 1e-12) << "quarter " << k;
}

void expect_triplet(const std::optional<Triplet>& actual, const Triplet& expected) {
  ASSERT_TRUE(actual.has_value());
  for (std::size_t k = 0; k < 3; ++k) {
    if (std::isnan(expected[k])) {
      EXPECT_TRUE(std::isnan((*actual)[k])) << "ratio " << k;
    } else {
      EXPECT_NEAR((*actual)[k], expected[k], 1e-12) << "ratio " << k;
    }
  }
}

// -------------------------------------------------------------- scan facts

morvane_core::types::SpectrumRecord record_with(std::vector<double> mz) {
  morvane_core::types::SpectrumRecord r;
  r.index = 3;
  r.scan_number = 4;
  r.native_id = "scanId=4";
  r.ms_level = 1;
  r.retention_time_sec = 12.5;
  r.polarity = morvane_core::enums::Polarity::Negative;
  r.intensity.assign(mz.size(), 1.0f);
  r.mz = std::move(mz);
  return r;
}

TEST(QcFacts, LowestAndHighestMzOfThePoints) {
  struct Case {
    const char* name;
    std::vector<double> mz;
    double low, high;
  };
  const Case cases[] = {
      {"sorted", {100, 200, 300, 400, 500}, 100, 500},
      {"unsorted, lowest last", {300, 200, 500, 400, 150, 120, 110, 90}, 90, 500},
      {"highest in the tail", {3, 2, 1, 4, 5, 6, 7, 8, 9}, 1, 9},
      {"one point", {42}, 42, 42},
      {"a NaN among them", {5, kNaN, 1, 9}, 1, 9},
  };
  for (const Case& c : cases) {
    const ScanFacts f = facts_of(record_with(c.mz));
    EXPECT_EQ(f.lowest_mz, c.low) << c.name;
    EXPECT_EQ(f.highest_mz, c.high) << c.name;
    EXPECT_EQ(f.num_peaks, c.mz.size()) << c.name;
  }
  const ScanFacts all_nan = facts_of(record_with({kNaN, kNaN}));
  EXPECT_TRUE(std::isnan(all_nan.lowest_mz) && std::isnan(all_nan.highest_mz));
  const ScanFacts empty = facts_of(record_with({}));
  EXPECT_TRUE(std::isnan(empty.lowest_mz) && std::isnan(empty.base_peak_mz));
  EXPECT_EQ(empty.num_peaks, 0u);
}

TEST(QcFacts, IdentityTicBasePeakAndPrecursor) {
  auto r = record_with({100, 200, 300});
  r.intensity = {1, 7, 2};
  ScanFacts f = facts_of(r);
  EXPECT_EQ(f.index, 3u);
  EXPECT_EQ(f.scan_number, 4u);
  EXPECT_EQ(f.native_id, "scanId=4");
  EXPECT_EQ(f.rt, 12.5);
  EXPECT_EQ(f.polarity, -1);
  EXPECT_TRUE(f.decoded);
  EXPECT_EQ(f.tic, 10);
  EXPECT_EQ(f.base_peak_mz, 200);
  EXPECT_EQ(f.base_peak_intensity, 7);
  EXPECT_TRUE(std::isnan(f.precursor_mz));
  EXPECT_TRUE(std::isnan(f.scan_low_mz));
  // Reported values win over the points.
  r.total_ion_current = 99;
  r.base_peak_mz = 300;
  r.base_peak_intensity = 50;
  r.low_mz = 50;
  r.high_mz = 1500;
  r.precursor = morvane_core::types::Precursor{};
  r.precursor->target_mz = 445.5;
  f = facts_of(r);
  EXPECT_EQ(f.tic, 99);
  EXPECT_EQ(f.base_peak_mz, 300);
  EXPECT_EQ(f.scan_low_mz, 50);
  EXPECT_EQ(f.scan_high_mz, 1500);
  EXPECT_EQ(f.precursor_mz, 445.5);
  r.precursor->selected_mz = 445.7;
  EXPECT_EQ(facts_of(r).precursor_mz, 445.7);
  r.polarity.reset();
  EXPECT_EQ(facts_of(r).polarity, 0);
}

// ---------------------------------------------------------------- quantiles

TEST(QcQuantile, LinearBetweenClosestRanks) {
  struct Case {
    std::vector<double> sorted;
    double q;
    double expected;
  };
  const Case cases[] = {
      {{1, 2, 3, 4}, 0.25, 1.75}, {{1, 2, 3, 4}, 0.5, 2.5},  {{1, 2, 3, 4}, 0.75, 3.25},
      {{1, 2, 3, 4}, 1.0, 4},     {{1, 2, 3, 4}, 0.0, 1},    {{7}, 0.25, 7},
      {{0, 10}, 0.5, 5},          {{1, 1, 1, 9}, 0.75, 3},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(quantile_of_sorted(c.sorted, c.q), c.expected) << "q=" << c.q;
  }
  EXPECT_TRUE(std::isnan(quantile_of_sorted({}, 0.5)));
}

TEST(QcQuantile, LogRatioIsUndefinedUnlessBothArePositive) {
  EXPECT_DOUBLE_EQ(log_ratio(std::exp(1.0), 1), 1);
  EXPECT_DOUBLE_EQ(log_ratio(5, 5), 0);
  for (const auto& [n, d] : std::vector<std::pair<double, double>>{
           {0, 1}, {1, 0}, {-1, 2}, {kNaN, 1}, {1, std::numeric_limits<double>::infinity()}}) {
    EXPECT_TRUE(std::isnan(log_ratio(n, d))) << n << "/" << d;
  }
}

// ------------------------------------------------------------------ summary

TEST(QcSummary, FourMs1ScansAndOneMs2) {
  auto specs = ms1({1, 2, 3, 4});
  specs.push_back({2, 40, 100});
  const auto rows = rows_of(specs);
  const RunSummary s = summarise(rows);
  EXPECT_EQ(s.scans, 5u);
  EXPECT_EQ(s.ms1_spectra, 4u);
  EXPECT_EQ(s.ms2_spectra, 1u);
  ASSERT_TRUE(s.run_duration && s.rt_range);
  EXPECT_DOUBLE_EQ(*s.run_duration, 40);
  EXPECT_EQ(*s.rt_range, Range(0, 40));
  // Trapezoids of the MS1 TIC: 10 (1+2)/2 + 10 (2+3)/2 + 10 (3+4)/2.
  EXPECT_DOUBLE_EQ(*s.ms1_tic_area, 75);
  // Cumulative TIC 1, 3, 6, 10: a quarter (2.5) at 10 s, half at 20 s,
  // three quarters and all at 30 s; over the 40 s of the run.
  expect_quartets(s.tic_rt_fractions, {0.25, 0.25, 0.25, 0});
  // One MS1 scan a quarter: the first at 0 s, the second at 10 s, ...
  expect_quartets(s.ms1_rt_fractions, {0, 0.25, 0.25, 0.25});
  // Quartiles of 1, 2, 3, 4: 1.75, 2.5, 3.25; max 4.
  expect_triplet(s.tic_ratios, {std::log(2.5 / 1.75), std::log(3.25 / 2.5), std::log(4 / 3.25)});
  // Changes are all 1.
  expect_triplet(s.tic_change_ratios, {0, 0, 0});
  EXPECT_EQ(s.signal_jumps, 0u);
  EXPECT_EQ(s.signal_falls, 0u);
  EXPECT_FALSE(s.scan_window_range);
  EXPECT_FALSE(s.drift_median_ppm);
}

TEST(QcSummary, JumpsAndFallsNeedMoreThanTenfold) {
  struct Case {
    const char* name;
    std::vector<double> tics;
    std::uint64_t jumps, falls;
  };
  const Case cases[] = {
      {"up and down", {1, 11, 1}, 1, 1},
      {"exactly tenfold counts neither", {5, 50, 500, 50, 5}, 0, 0},
      {"from and to zero", {1, 0, 5}, 1, 1},
      {"zero to zero", {0, 0}, 0, 0},
      {"mixed", {1, 11, 1, 0, 5, 50, 500, 49}, 2, 3},
  };
  for (const Case& c : cases) {
    const auto rows = rows_of(ms1(c.tics));
    const RunSummary s = summarise(rows);
    EXPECT_EQ(s.signal_jumps, c.jumps) << c.name;
    EXPECT_EQ(s.signal_falls, c.falls) << c.name;
  }
  // One MS1 scan (or none) has no adjacent pair: no count at all.
  for (const auto& specs : {ms1({3}), std::vector<RowSpec>{{2, 1, 5}, {2, 2, 500}}}) {
    const RunSummary s = summarise(rows_of(specs));
    EXPECT_FALSE(s.signal_jumps);
    EXPECT_FALSE(s.signal_falls);
  }
}

TEST(QcSummary, JumpsCountAdjacentMs1ScansOnly) {
  // The MS2 scan between two MS1 scans does not break their pair.
  const auto rows = rows_of({{1, 0, 1}, {2, 1, 1000}, {1, 2, 20}});
  const RunSummary s = summarise(rows);
  EXPECT_EQ(s.signal_jumps, 1u);
  EXPECT_EQ(s.signal_falls, 0u);
}

TEST(QcSummary, QuarterBoundariesOfUnevenTic) {
  // TIC 8, 0, 0, 2 at 0, 10, 20, 30 s, MS2 at 50 s: total 10, 2.5 and 5
  // and 7.5 all reached by the first scan (at the start), all by the last.
  auto specs = ms1({8, 0, 0, 2});
  specs.push_back({2, 50, 1});
  const RunSummary s = summarise(rows_of(specs));
  expect_quartets(s.tic_rt_fractions, {0, 0, 0, 30.0 / 50});
  // Five MS1 scans would need ceil(k 5 / 4); with four: scans 1, 2, 3, 4.
  expect_quartets(s.ms1_rt_fractions, {0, 10.0 / 50, 10.0 / 50, 10.0 / 50});
}

TEST(QcSummary, Ms1QuartersOfFiveScans) {
  // ceil(5/4) = 2, ceil(10/4) = 3, ceil(15/4) = 4, 5: scans at 10, 20, 30, 40 s.
  const RunSummary s = summarise(rows_of(ms1({1, 1, 1, 1, 1})));
  expect_quartets(s.ms1_rt_fractions, {0.25, 0.25, 0.25, 0.25});
}

TEST(QcSummary, UndefinedRatiosAreNaN) {
  // Quartiles 0, 0, 0.75 and max 3: log(0/0), log(0.75/0) undefined.
  const RunSummary s = summarise(rows_of(ms1({0, 0, 0, 3})));
  expect_triplet(s.tic_ratios, {kNaN, kNaN, std::log(3 / 0.75)});
}

TEST(QcSummary, WhatNeedsMs1ScansIsAbsentWithoutThem) {
  const RunSummary s = summarise(rows_of({{2, 5, 10}, {2, 6, 20}}));
  EXPECT_EQ(s.ms1_spectra, 0u);
  EXPECT_EQ(s.ms2_spectra, 2u);
  EXPECT_DOUBLE_EQ(*s.run_duration, 1);
  EXPECT_FALSE(s.ms1_tic_area);
  EXPECT_FALSE(s.tic_rt_fractions);
  EXPECT_FALSE(s.ms1_rt_fractions);
  EXPECT_FALSE(s.tic_ratios);
  EXPECT_FALSE(s.tic_change_ratios);
  EXPECT_FALSE(s.signal_jumps);
  EXPECT_FALSE(s.ms1_median_cycle_time);
  EXPECT_FALSE(s.ms1_quarter_hz);
  EXPECT_FALSE(s.empty_ms1);
  EXPECT_TRUE(s.ms2_rt_fractions);
}

TEST(QcSummary, EmptyRun) {
  const RunSummary s = summarise({});
  EXPECT_EQ(s.scans, 0u);
  EXPECT_FALSE(s.run_duration);
  EXPECT_FALSE(s.rt_range);
  EXPECT_FALSE(s.scan_window_range);
  EXPECT_FALSE(s.ms1_tic_area);
}

TEST(QcSummary, SingleMs1ScanHasNoDurationToShare) {
  const RunSummary s = summarise(rows_of(ms1({5})));
  EXPECT_DOUBLE_EQ(*s.run_duration, 0);
  EXPECT_DOUBLE_EQ(*s.ms1_tic_area, 0);
  EXPECT_FALSE(s.tic_rt_fractions);
  EXPECT_FALSE(s.ms1_rt_fractions);
  expect_triplet(s.tic_ratios, {0, 0, 0});
  EXPECT_FALSE(s.tic_change_ratios);
}

TEST(QcSummary, FailedScansCountButGiveNoTic) {
  const auto rows = rows_of({{1, 0, 1}, {1, 10, 0, 1, false}, {1, 20, 100}});
  const RunSummary s = summarise(rows);
  EXPECT_EQ(s.ms1_spectra, 3u);
  EXPECT_EQ(s.failed_spectra, 1u);
  // The two decoded scans are adjacent: 1 -> 100 is one jump.
  EXPECT_EQ(s.signal_jumps, 1u);
  EXPECT_DOUBLE_EQ(*s.ms1_tic_area, 20 * 101 / 2.0);
  EXPECT_DOUBLE_EQ(*s.run_duration, 20);
}

TEST(QcSummary, PolarityKeepsItsOwnScans) {
  const auto rows = rows_of({{1, 0, 1, 1}, {1, 5, 100, -1}, {1, 10, 3, 1}, {2, 15, 7, -1}, {1, 30, 200, -1}});
  struct Case {
    std::optional<std::int8_t> polarity;
    std::uint64_t scans, ms1, ms2;
    double duration, area;
  };
  const Case cases[] = {
      {std::nullopt, 5, 4, 1, 30, 5 * 101 / 2.0 + 5 * 103 / 2.0 + 20 * 203 / 2.0},
      {std::int8_t{1}, 2, 2, 0, 10, 10 * 4 / 2.0},
      {std::int8_t{-1}, 3, 2, 1, 25, 25 * 300 / 2.0},
  };
  for (const Case& c : cases) {
    const RunSummary s = summarise(rows, c.polarity);
    EXPECT_EQ(s.scans, c.scans);
    EXPECT_EQ(s.ms1_spectra, c.ms1);
    EXPECT_EQ(s.ms2_spectra, c.ms2);
    EXPECT_DOUBLE_EQ(*s.run_duration, c.duration);
    EXPECT_DOUBLE_EQ(*s.ms1_tic_area, c.area);
  }
  EXPECT_EQ(polarities_of(rows), (std::vector<std::int8_t>{1, -1}));
}

TEST(QcSummary, ScanWindowRangePrefersTheRecordedScanRange) {
  auto rows = rows_of({{1, 0, 1}, {2, 1, 1}, {2, 2, 1}});
  rows[0].scan_low_mz = 100;
  rows[0].scan_high_mz = 1700;
  rows[0].lowest_mz = 120;   // inside the recorded range: not used
  rows[0].highest_mz = 1650;
  rows[1].lowest_mz = 50;    // no recorded range: the points
  rows[1].highest_mz = 900;
  const RunSummary s = summarise(rows);
  ASSERT_TRUE(s.scan_window_range);
  EXPECT_EQ(*s.scan_window_range, Range(50, 1700));
}

TEST(QcSummary, DriftMedianAndLargestMagnitudeOfOwnCalibrations) {
  constexpr auto kOwn = CalibrationSource::Scan;
  constexpr auto kDefault = CalibrationSource::Default;
  struct Case {
    std::vector<double> drifts;
    std::vector<CalibrationSource> sources;
    std::optional<double> median, max_abs;  // nothing: no drift reported
  };
  const Case cases[] = {
      {{1, -3, 2, kNaN}, {kOwn, kOwn, kOwn, kOwn}, 1, 3},
      {{0.5}, {kOwn}, 0.5, 0.5},
      {{-4, -2}, {kOwn, kOwn}, -3, 4},
      // A scan that fell back to the default agrees with it: left out.
      {{-4, 0, -2}, {kOwn, kDefault, kOwn}, -3, 4},
      {{0, 0}, {kDefault, kDefault}, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    std::vector<RowSpec> specs;
    for (std::size_t i = 0; i < c.drifts.size(); ++i) specs.push_back({2, double(i), 1});
    auto rows = rows_of(specs);
    for (std::size_t i = 0; i < c.drifts.size(); ++i) {
      rows[i].calibration_drift_ppm = c.drifts[i];
      rows[i].calibration_source = c.sources[i];
    }
    const RunSummary s = summarise(rows);
    ASSERT_EQ(s.drift_median_ppm.has_value(), c.median.has_value());
    ASSERT_EQ(s.drift_max_abs_ppm.has_value(), c.max_abs.has_value());
    if (!c.median) continue;
    EXPECT_DOUBLE_EQ(*s.drift_median_ppm, *c.median);
    EXPECT_DOUBLE_EQ(*s.drift_max_abs_ppm, *c.max_abs);
  }
}

TEST(QcSummary, CycleTimeAndFrequencies) {
  // MS1 at 0, 2, 4, 7 s; MS2 at 1, 1.5, 3 s. The run spans 7 s, its
  // quarters 1.75 s.
  const auto rows = rows_of({{1, 0, 1}, {2, 1, 1}, {2, 1.5, 1}, {1, 2, 1}, {2, 3, 1}, {1, 4, 1}, {1, 7, 1}});
  const RunSummary s = summarise(rows);
  EXPECT_DOUBLE_EQ(*s.ms1_median_cycle_time, 2);  // intervals 2, 2, 3
  EXPECT_DOUBLE_EQ(*s.ms1_fastest_hz, 0.5);
  EXPECT_DOUBLE_EQ(*s.ms1_slowest_hz, 1 / 3.0);
  EXPECT_DOUBLE_EQ(*s.ms2_fastest_hz, 2);          // intervals 0.5, 1.5
  EXPECT_DOUBLE_EQ(*s.ms2_slowest_hz, 1 / 1.5);
  // One MS1 scan in each quarter (7 s closes the last); MS2 two, one, none, none.
  expect_quartets(s.ms1_quarter_hz, {1 / 1.75, 1 / 1.75, 1 / 1.75, 1 / 1.75});
  expect_quartets(s.ms2_quarter_hz, {2 / 1.75, 1 / 1.75, 0, 0});
  // Quarters of the three MS2 scans: the first, second, third and third.
  expect_quartets(s.ms2_rt_fractions, {1 / 7.0, 0.5 / 7.0, 1.5 / 7.0, 0});
}

TEST(QcSummary, IntervalsNeedTwoDistinctTimes) {
  struct Case {
    const char* name;
    std::vector<RowSpec> specs;
    bool cycle, rates;
  };
  const Case cases[] = {
      {"one MS1 scan", {{1, 3, 1}}, false, false},
      {"two at the same time", {{1, 3, 1}, {1, 3, 1}}, true, false},
      {"two apart", {{1, 3, 1}, {1, 4, 1}}, true, true},
      {"MS2 only", {{2, 3, 1}, {2, 4, 1}}, false, false},
  };
  for (const Case& c : cases) {
    const RunSummary s = summarise(rows_of(c.specs));
    EXPECT_EQ(s.ms1_median_cycle_time.has_value(), c.cycle) << c.name;
    EXPECT_EQ(s.ms1_fastest_hz.has_value(), c.rates) << c.name;
    EXPECT_EQ(s.ms1_slowest_hz.has_value(), c.rates) << c.name;
  }
}

TEST(QcSummary, EmptyScansAreDecodedScansWithoutSignal) {
  auto rows = rows_of({{1, 0, 0}, {1, 1, 5}, {1, 2, 0, 1, false}, {2, 3, 0}, {2, 4, 1}, {3, 5, 0}});
  rows[0].empty = true;
  rows[3].empty = true;
  rows[5].empty = true;  // MS3: neither count
  const RunSummary s = summarise(rows);
  EXPECT_EQ(s.empty_ms1, 1u);
  EXPECT_EQ(s.empty_ms2, 1u);
  // Without a decoded scan of a level, its count is absent.
  const RunSummary failed = summarise(rows_of({{1, 0, 0, 1, false}}));
  EXPECT_FALSE(failed.empty_ms1);
  EXPECT_FALSE(failed.empty_ms2);
}

TEST(QcSummary, PrecursorRangeOfTheMsnScansOnly) {
  auto rows = rows_of({{1, 0, 1}, {2, 1, 1}, {3, 2, 1}, {2, 3, 1}});
  rows[0].precursor_mz = 50;   // an MS1 scan's value is not a precursor
  rows[1].precursor_mz = 400;
  rows[2].precursor_mz = 812.5;
  rows[0].scan_low_mz = 100;   // the scan window is its own figure
  rows[0].scan_high_mz = 1700;
  const RunSummary s = summarise(rows);
  ASSERT_TRUE(s.precursor_mz_range);
  EXPECT_EQ(*s.precursor_mz_range, Range(400, 812.5));
  EXPECT_EQ(*s.scan_window_range, Range(100, 1700));
  EXPECT_FALSE(summarise(rows_of(ms1({1, 2}))).precursor_mz_range);
}

// Random runs: the figures agree with each other whatever the scans.
TEST(QcSummary, FiguresAgreeOnRandomRuns) {
  std::mt19937_64 random(41);
  for (int trial = 0; trial < 400; ++trial) {
    std::vector<RowSpec> specs;
    double t = std::uniform_real_distribution<double>(0, 100)(random);
    const std::size_t count = random() % 40;
    for (std::size_t i = 0; i < count; ++i) {
      t += random() % 7 == 0 ? 0.0 : std::uniform_real_distribution<double>(0.01, 3)(random);
      specs.push_back({static_cast<std::uint32_t>(random() % 4), t,
                       random() % 5 == 0 ? 0.0 : std::uniform_real_distribution<double>(0, 1e6)(random),
                       1, random() % 9 != 0});
    }
    SCOPED_TRACE(trial);
    const RunSummary s = summarise(rows_of(specs));
    std::uint64_t ms1 = 0;
    std::uint64_t ms2 = 0;
    for (const RowSpec& r : specs) ms1 += r.ms_level == 1, ms2 += r.ms_level == 2;
    ASSERT_EQ(s.ms1_spectra, ms1);
    ASSERT_EQ(s.ms2_spectra, ms2);
    if (s.ms1_quarter_hz) {
      // The quarters' rates times their length count every scan once.
      const double part = *s.run_duration / 4;
      double counted = 0;
      for (const double hz : *s.ms1_quarter_hz) counted += hz * part;
      ASSERT_NEAR(counted, static_cast<double>(ms1), 1e-9 * static_cast<double>(ms1 + 1));
    }
    for (const auto& fractions : {s.ms1_rt_fractions, s.ms2_rt_fractions, s.tic_rt_fractions}) {
      if (!fractions) continue;
      double sum = 0;
      for (const double f : *fractions) {
        ASSERT_GE(f, -1e-12);
        sum += f;
      }
      ASSERT_LE(sum, 1 + 1e-12);
    }
    if (s.ms1_fastest_hz) {
      ASSERT_GE(*s.ms1_fastest_hz, *s.ms1_slowest_hz);
      ASSERT_LE(*s.ms1_median_cycle_time, 1 / *s.ms1_slowest_hz * (1 + 1e-12));
    }
    ASSERT_EQ(s.signal_jumps.has_value(), s.signal_falls.has_value());
    if (ms1 == 0) {
      ASSERT_FALSE(s.signal_jumps);
      ASSERT_FALSE(s.ms1_tic_area);
      ASSERT_FALSE(s.ms1_median_cycle_time);
      ASSERT_FALSE(s.empty_ms1);
    }
  }
}

// -------------------------------------------------------- calibration drift

raw::calibration::TofCalibration calibration(double a, double t0, std::vector<raw::calibration::PolynomialTerm> terms = {}) {
  raw::calibration::TofCalibration c;
  c.a = a;
  c.t0 = t0;
  c.polynomial.terms = std::move(terms);
  c.polynomial.range_min = 20000;
  c.polynomial.range_max = 80000;
  return c;
}

TEST(QcCalibrationDrift, FlightTimeInvertsTheCalibration) {
  const auto plain = calibration(4.8e-4, 12.5);
  const auto corrected = calibration(4.8e-4, 12.5, {{0, 1.2e-3}, {1, 2.5e-8}, {2, -3.0e-13}});
  for (const auto* c : {&plain, &corrected}) {
    for (const double mz : {92.5, 200.0, 500.0, 1000.0, 1500.0}) {
      const auto t = flight_time_of(*c, mz);
      ASSERT_TRUE(t) << mz;
      EXPECT_NEAR(c->mz(*t), mz, 1e-9 * mz) << mz;
    }
  }
  // Without a correction the time is closed-form: t0 + sqrt(mz) / a.
  EXPECT_NEAR(*flight_time_of(plain, 400), 12.5 + 20 / 4.8e-4, 1e-6);
}

TEST(QcCalibrationDrift, UnreachableMzHasNoFlightTime) {
  EXPECT_FALSE(flight_time_of(calibration(0, 12.5), 500));
  EXPECT_FALSE(flight_time_of(calibration(-1e-4, 12.5), 500));
  EXPECT_FALSE(flight_time_of(calibration(4.8e-4, 12.5), 0));
  EXPECT_FALSE(flight_time_of(calibration(4.8e-4, 12.5), kNaN));
  // A correction that subtracts more than the m/z everywhere.
  EXPECT_FALSE(flight_time_of(calibration(4.8e-4, 12.5, {{0, -5000}}), 500));
}

TEST(QcCalibrationDrift, KnownDifferences) {
  const auto reference = calibration(4.8e-4, 12.5, {{0, 1.2e-3}});
  struct Case {
    const char* name;
    raw::calibration::TofCalibration chosen;
    double expected_ppm;  // the signed error of largest magnitude
  };
  const double e = 2e-6;
  const Case cases[] = {
      {"the same calibration", reference, 0},
      // A scaled by (1 + e) scales the traditional term by (1 + e)^2; the
      // correction 1.2e-3 stays, so the error is largest at the lowest m/z:
      // ((1 + e)^2 (200 + 1.2e-3) - 1.2e-3 - 200) / 200.
      {"A larger", calibration(4.8e-4 * (1 + e), 12.5, {{0, 1.2e-3}}),
       ((1 + e) * (1 + e) * (200 + 1.2e-3) - 1.2e-3 - 200) / 200 * 1e6},
      // A correction larger by 0.01 lowers every m/z by 0.01: -50 ppm at 200.
      {"constant shift", calibration(4.8e-4, 12.5, {{0, 1.2e-3 + 0.01}}), -0.01 / 200 * 1e6},
  };
  for (const Case& c : cases) {
    const auto drift = drift_ppm(c.chosen, reference);
    ASSERT_TRUE(drift) << c.name;
    EXPECT_NEAR(*drift, c.expected_ppm, 1e-6) << c.name;
  }
}

TEST(QcCalibrationDrift, ReferencesThatCannotBeInvertedAreSkipped) {
  const auto reference = calibration(4.8e-4, 12.5);
  const auto chosen = calibration(4.8e-4, 12.5, {{0, 0.02}});
  const double only_bad[] = {-1.0, kNaN};
  EXPECT_FALSE(drift_ppm(chosen, reference, only_bad));
  const double some_bad[] = {-1.0, 1000.0};
  EXPECT_NEAR(*drift_ppm(chosen, reference, some_bad), -0.02 / 1000 * 1e6, 1e-6);
}

TEST(QcCalibrationDrift, DefaultEntryByCalibrationIdElseTheFirst) {
  raw::defaultmasscal::DefaultCalibration first, second;
  first.calibration_id = 1;
  first.traditional = {4.8e-4, 12.5};
  first.polynomial_values = {20000, 80000, 0, 0, 0, 0, 0, 0};
  second = first;
  second.calibration_id = 7;
  second.traditional = {5.0e-4, 10};
  const raw::defaultmasscal::DefaultCalibration entries[] = {first, second};
  const auto defaults = DefaultCalibrations::of(entries);
  ASSERT_FALSE(defaults.empty());
  EXPECT_DOUBLE_EQ(defaults.for_id(7)->a, 5.0e-4);
  EXPECT_DOUBLE_EQ(defaults.for_id(1)->a, 4.8e-4);
  EXPECT_DOUBLE_EQ(defaults.for_id(99)->a, 4.8e-4);
  EXPECT_DOUBLE_EQ(defaults.for_id(std::nullopt)->a, 4.8e-4);
  EXPECT_EQ(DefaultCalibrations::of({}).for_id(1), nullptr);
}

}  // namespace
}  // namespace karvel::qc
