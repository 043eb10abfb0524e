#include "reader/ms1_chromatograms.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace karvel::reader {
namespace {

using morvane_core::types::SpectrumRecord;
using raw::msscan::ScanRecord;

SpectrumRecord spectrum(std::uint32_t ms_level, double rt_sec, std::vector<double> mz,
                        std::vector<float> intensity) {
  SpectrumRecord record;
  record.ms_level = ms_level;
  record.retention_time_sec = rt_sec;
  return morvane_core::types::with_peaks(std::move(record), std::move(mz), std::move(intensity));
}

TEST(Ms1Point, FromDecodedSpectra) {
  struct Case {
    const char* name;
    SpectrumRecord spectrum;
    std::optional<double> reported_tic, reported_mz, reported_intensity;
    bool is_point;
    double tic, base_peak;
  };
  const Case cases[] = {
      {"sums and maximum of the points", spectrum(1, 12.5, {100, 200, 300}, {1.5f, 4.0f, 2.5f}),
       std::nullopt, std::nullopt, std::nullopt, true, 8.0, 4.0},
      {"reported values win", spectrum(1, 12.5, {100, 200}, {1.0f, 2.0f}), 50.0, 150.0, 9.0, true, 50.0,
       9.0},
      {"a base peak needs both reported values", spectrum(1, 12.5, {100, 200}, {1.0f, 2.0f}),
       std::nullopt, std::nullopt, 9.0, true, 3.0, 2.0},
      {"no points: zero", spectrum(1, 3.0, {}, {}), std::nullopt, std::nullopt, std::nullopt, true, 0.0,
       0.0},
      {"MS2 gives no point", spectrum(2, 12.5, {100}, {1.0f}), std::nullopt, std::nullopt, std::nullopt,
       false, 0, 0},
      {"level 0 gives no point", spectrum(0, 12.5, {100}, {1.0f}), std::nullopt, std::nullopt,
       std::nullopt, false, 0, 0},
  };
  for (const Case& c : cases) {
    SpectrumRecord record = c.spectrum;
    record.total_ion_current = c.reported_tic;
    record.base_peak_mz = c.reported_mz;
    record.base_peak_intensity = c.reported_intensity;
    const auto point = ms1_point(record);
    ASSERT_EQ(point.has_value(), c.is_point) << c.name;
    if (!point) continue;
    EXPECT_EQ(point->time_sec, record.retention_time_sec) << c.name;
    EXPECT_EQ(point->total_ion_current, c.tic) << c.name;
    EXPECT_EQ(point->base_peak_intensity, c.base_peak) << c.name;
  }
}

TEST(Ms1Point, ReportedOnlyWhenTheRowHasEverything) {
  struct Case {
    const char* name;
    std::uint32_t ms_level;
    std::optional<double> tic, mz, intensity;
    bool reported;
  };
  const Case cases[] = {
      {"all three", 1, 10.0, 200.0, 4.0, true},
      {"no TIC", 1, std::nullopt, 200.0, 4.0, false},
      {"no base peak m/z", 1, 10.0, std::nullopt, 4.0, false},
      {"no base peak intensity", 1, 10.0, 200.0, std::nullopt, false},
      {"MS2", 2, 10.0, 200.0, 4.0, false},
  };
  for (const Case& c : cases) {
    ScanRecord record;
    record.ms_level = c.ms_level;
    record.retention_time_min = 0.5;
    record.tic = c.tic;
    record.base_peak_mz = c.mz;
    record.base_peak_intensity = c.intensity;
    const auto point = reported_ms1_point(ScanRow(record));
    ASSERT_EQ(point.has_value(), c.reported) << c.name;
    if (!point) continue;
    EXPECT_EQ(point->time_sec, 30.0) << c.name;
    EXPECT_EQ(point->total_ion_current, 10.0) << c.name;
    EXPECT_EQ(point->base_peak_intensity, 4.0) << c.name;
  }
}

TEST(Ms1Point, ReportedEqualsDecodedForTheSameScan) {
  // A spectrum built from a row carries the row's values; both routes agree.
  ScanRecord record;
  record.ms_level = 1;
  record.retention_time_min = 1.7;
  record.tic = 1234.5;
  record.base_peak_mz = 445.12;
  record.base_peak_intensity = 321.0;
  SpectrumRecord decoded = spectrum(1, ScanRow(record).rt_sec(), {100, 445.12}, {1.0f, 9999.0f});
  decoded.total_ion_current = record.tic;
  decoded.base_peak_mz = record.base_peak_mz;
  decoded.base_peak_intensity = record.base_peak_intensity;
  const auto from_row = reported_ms1_point(ScanRow(record));
  const auto from_spectrum = ms1_point(decoded);
  ASSERT_TRUE(from_row && from_spectrum);
  EXPECT_EQ(from_row->time_sec, from_spectrum->time_sec);
  EXPECT_EQ(from_row->total_ion_current, from_spectrum->total_ion_current);
  EXPECT_EQ(from_row->base_peak_intensity, from_spectrum->base_peak_intensity);
}

TEST(Ms1Chromatograms, AddSetAndOrder) {
  Ms1Chromatograms points;
  EXPECT_TRUE(points.empty());
  EXPECT_EQ(points.add({1.0, 10.0, 5.0}), 0u);
  EXPECT_EQ(points.add({2.0, 0.0, 0.0}), 1u);
  EXPECT_EQ(points.add({3.0, 30.0, 15.0}), 2u);
  points.set(1, {2.0, 20.0, 7.5});
  EXPECT_EQ(points.size(), 3u);
  EXPECT_EQ(points.time_sec, (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ(points.total_ion_current, (std::vector<double>{10.0, 20.0, 30.0}));
  EXPECT_EQ(points.base_peak_intensity, (std::vector<double>{5.0, 7.5, 15.0}));
}

TEST(Ms1Chromatograms, NarrowedRoundsToNearestFloat) {
  struct Case {
    double value;
    float expected;
  };
  const Case cases[] = {
      {0.1, 0.1f},
      {16777217.0, 16777216.0f},  // 2^24 + 1 is not a float: ties to even
      {1e300, std::numeric_limits<float>::infinity()},
      {-0.0, -0.0f},
  };
  for (const Case& c : cases) {
    const auto narrowed_values = narrowed({c.value});
    ASSERT_EQ(narrowed_values.size(), 1u);
    EXPECT_EQ(narrowed_values[0], c.expected) << c.value;
    EXPECT_EQ(std::signbit(narrowed_values[0]), std::signbit(c.expected)) << c.value;
  }
}

// Over random scan tables and skip sets: a point per MS1 scan not skipped,
// in table order; the reported rows filled from the table, the others
// listed for decoding and filled from their spectra, or dropped when their
// decode fails.
TEST(Ms1Pass, OnePointPerKeptMs1Scan) {
  std::mt19937 random(20261208);
  for (int trial = 0; trial < 200; ++trial) {
    raw::msscan::MSScan scan;
    const std::size_t count = random() % 12;
    for (std::size_t i = 0; i < count; ++i) {
      ScanRecord record;
      record.ms_level = static_cast<std::uint32_t>(random() % 4);
      record.retention_time_min = 0.1 * static_cast<double>(i);
      if (random() % 2) {
        record.tic = 100.0 + static_cast<double>(i);
        record.base_peak_mz = 200.0;
        record.base_peak_intensity = 10.0 + static_cast<double>(i);
      }
      scan.records.push_back(record);
    }
    std::vector<std::uint32_t> skipped;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (random() % 4 == 0) skipped.push_back(i);
    }
    std::shuffle(skipped.begin(), skipped.end(), random);

    Ms1Pass pass(scan, skipped);
    std::vector<std::uint32_t> listed, undecided;
    for (std::uint32_t i = 0; i < count; ++i) {
      const ScanRow row(scan.records[i]);
      if (!row.is_ms1() || std::find(skipped.begin(), skipped.end(), i) != skipped.end()) continue;
      listed.push_back(i);
      if (!reported_ms1_point(row)) undecided.push_back(i);
    }
    ASSERT_EQ(pass.to_decode(), undecided) << trial;
    // Some of the decodes fail and are dropped.
    std::vector<std::uint32_t> failed;
    for (std::size_t k = 0; k < undecided.size(); ++k) {
      if (random() % 3 == 0) {
        failed.push_back(undecided[k]);
        pass.drop(k);
        continue;
      }
      const double rt = ScanRow(scan.records[undecided[k]]).rt_sec();
      pass.fill(k, spectrum(1, rt, {100, 200}, {static_cast<float>(k), 1.0f}));
    }
    std::vector<std::uint32_t> kept;
    for (std::uint32_t i : listed) {
      if (std::find(failed.begin(), failed.end(), i) == failed.end()) kept.push_back(i);
    }
    const Ms1Chromatograms points = std::move(pass).take();
    ASSERT_EQ(points.size(), kept.size()) << trial;
    for (std::size_t j = 0; j < kept.size(); ++j) {
      const ScanRow row(scan.records[kept[j]]);
      EXPECT_EQ(points.time_sec[j], row.rt_sec()) << trial;
      if (const auto reported = reported_ms1_point(row)) {
        EXPECT_EQ(points.total_ion_current[j], reported->total_ion_current) << trial;
      } else {
        const auto k = static_cast<std::size_t>(std::find(undecided.begin(), undecided.end(), kept[j]) -
                                                undecided.begin());
        EXPECT_EQ(points.total_ion_current[j], static_cast<double>(k) + 1.0) << trial;
        EXPECT_EQ(points.base_peak_intensity[j], std::max(static_cast<double>(k), 1.0)) << trial;
      }
    }
  }
}

}  // namespace
}  // namespace karvel::reader
