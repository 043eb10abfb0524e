#include "qc/rt_mz_map.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace karvel::qc {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

MapShape fixed_shape(double rt_low, double rt_high, std::uint32_t rt_bins, double mz_low, double mz_high,
                     std::uint32_t mz_bins) {
  return MapShape{{rt_low, rt_high, rt_bins}, mz_bins, mz_low, mz_high};
}

MapShape auto_shape(std::uint32_t rt_bins, std::uint32_t mz_bins) {
  return MapShape{{0.0, 100.0, rt_bins}, mz_bins, std::nullopt, std::nullopt};
}

RtMzMap make(const MapShape& shape) {
  auto map = RtMzMap::create(shape);
  EXPECT_TRUE(map.has_value()) << map.error().display();
  return std::move(*map);
}

TEST(RtMzMapShape, RejectsWhatCannotBeAGrid) {
  const struct {
    const char* name;
    MapShape shape;
    const char* message_part;
  } cases[] = {
      {"no rt bins", fixed_shape(0, 10, 0, 100, 200, 10), "rt bins"},
      {"too many rt bins", fixed_shape(0, 10, kMaxMapBins + 1, 100, 200, 10), "rt bins"},
      {"no m/z bins", fixed_shape(0, 10, 10, 100, 200, 0), "m/z bins"},
      {"too many m/z bins", auto_shape(10, kMaxMapBins + 1), "m/z bins"},
      {"rt reversed", fixed_shape(10, 0, 10, 100, 200, 10), "rt range"},
      {"rt not finite", fixed_shape(0, kInf, 10, 100, 200, 10), "rt range"},
      {"rt NaN", fixed_shape(kNaN, 10, 10, 100, 200, 10), "rt range"},
      {"m/z empty", fixed_shape(0, 10, 10, 200, 200, 10), "m/z range"},
      {"m/z reversed", fixed_shape(0, 10, 10, 300, 200, 10), "m/z range"},
      {"m/z negative", fixed_shape(0, 10, 10, -5, 200, 10), "m/z range"},
      {"m/z too high", fixed_shape(0, 10, 10, 100, 2e7, 10), "m/z range"},
      {"m/z NaN", fixed_shape(0, 10, 10, kNaN, 200, 10), "m/z range"},
      {"one m/z end", MapShape{{0, 10, 10}, 10, 100.0, std::nullopt}, "both ends"},
  };
  for (const auto& c : cases) {
    auto map = RtMzMap::create(c.shape);
    ASSERT_FALSE(map.has_value()) << c.name;
    EXPECT_EQ(map.error().kind(), Error::Kind::Argument) << c.name;
    EXPECT_NE(map.error().text().find(c.message_part), std::string::npos) << c.name << ": " << map.error().text();
  }
}

TEST(RtMzMapShape, AcceptsTheLimits) {
  for (const auto& shape : {fixed_shape(0, 0, 1, 0, 1e7, 1), fixed_shape(0, 1, kMaxMapBins, 0, 1, 1),
                            auto_shape(1, kMaxMapBins)}) {
    EXPECT_TRUE(RtMzMap::create(shape).has_value());
  }
}

TEST(RtMzMapFixed, PlacesEachPointInTheCellOfItsRtAndMz) {
  // rt 0..100 s in 4 rows of 25 s; m/z 100..200 in 10 columns of 10.
  const struct {
    double rt;
    double mz;
    long row;  // -1: dropped
    long column;
  } cases[] = {
      {0.0, 100.0, 0, 0},          // both lower edges
      {24.999, 109.999, 0, 0},
      {25.0, 110.0, 1, 1},         // an inner edge opens the next bin
      {99.0, 199.999, 3, 9},
      {100.0, 200.0, 3, 9},        // the upper ends are inclusive
      {50.0, 150.5, 2, 5},
      {-0.001, 150.0, -1, 0},      // rt before the range
      {100.001, 150.0, -1, 0},     // rt after it
      {kNaN, 150.0, -1, 0},
      {50.0, 99.999, -1, 0},       // m/z below the range
      {50.0, 200.001, -1, 0},      // above it
      {50.0, kNaN, -1, 0},
      {50.0, kInf, -1, 0},
  };
  for (const auto& c : cases) {
    auto map = make(fixed_shape(0, 100, 4, 100, 200, 10));
    const double mz[] = {c.mz};
    const float intensity[] = {7.5f};
    map.add(c.rt, mz, intensity);
    const MapGrid grid = map.finish();
    ASSERT_EQ(grid.cells.size(), 40u);
    const double total = std::accumulate(grid.cells.begin(), grid.cells.end(), 0.0);
    if (c.row < 0) {
      EXPECT_EQ(total, 0.0) << c.rt << " " << c.mz;
      EXPECT_EQ(grid.dropped_points, 1u);
      EXPECT_EQ(grid.points, 0u);
      continue;
    }
    EXPECT_EQ(grid.cells[c.row * 10 + c.column], 7.5) << c.rt << " " << c.mz;
    EXPECT_EQ(total, 7.5);
    EXPECT_EQ(grid.points, 1u);
  }
}

TEST(RtMzMapFixed, EdgesAreTheRequestedRanges) {
  auto map = make(fixed_shape(30, 90, 3, 100, 400, 6));
  const MapGrid grid = map.finish();
  EXPECT_EQ(grid.rt_edges, (std::vector<double>{30, 50, 70, 90}));
  EXPECT_EQ(grid.mz_edges, (std::vector<double>{100, 150, 200, 250, 300, 350, 400}));
  EXPECT_EQ(grid.cells.size(), 18u);
}

TEST(RtMzMapFixed, ZeroWidthRtRangeKeepsItsOneRetentionTimeInTheFirstRow) {
  auto map = make(fixed_shape(12, 12, 3, 100, 200, 2));
  const double mz[] = {120, 180};
  const float intensity[] = {1, 2};
  map.add(12, mz, intensity);
  map.add(13, mz, intensity);  // outside
  const MapGrid grid = map.finish();
  EXPECT_EQ(grid.cells, (std::vector<double>{1, 2, 0, 0, 0, 0}));
  EXPECT_EQ(grid.points, 2u);
  EXPECT_EQ(grid.dropped_points, 2u);
}

TEST(RtMzMapFixed, SkipsNonFiniteIntensitiesAndUnpairedPoints) {
  auto map = make(fixed_shape(0, 10, 1, 0, 10, 1));
  const double mz[] = {1, 2, 3, 4};
  const float intensity[] = {1, std::numeric_limits<float>::quiet_NaN(), 4};
  map.add(5, mz, intensity);  // the fourth m/z has no intensity: ignored
  const MapGrid grid = map.finish();
  EXPECT_EQ(grid.cells, (std::vector<double>{5}));
  EXPECT_EQ(grid.points, 2u);
  EXPECT_EQ(grid.dropped_points, 1u);
}

// Spectra of points at random m/z, and where each should land: found by
// searching the finished edges, independently of how the map got there.
struct Point {
  double rt;
  double mz;
  float intensity;
};

void expect_cells_hold_their_points(const std::vector<std::vector<Point>>& spectra, std::uint32_t rt_bins,
                                    std::uint32_t mz_bins, const std::string& name) {
  auto map = make(auto_shape(rt_bins, mz_bins));
  std::size_t total_points = 0;
  for (const auto& spectrum : spectra) {
    std::vector<double> mz;
    std::vector<float> intensity;
    for (const auto& p : spectrum) mz.push_back(p.mz), intensity.push_back(p.intensity);
    map.add(spectrum.empty() ? 0.0 : spectrum.front().rt, mz, intensity);
    total_points += spectrum.size();
  }
  const MapGrid grid = map.finish();
  const std::size_t columns = grid.mz_edges.size() - 1;
  ASSERT_GE(columns, 1u) << name;
  ASSERT_LE(columns, mz_bins) << name;
  ASSERT_EQ(grid.cells.size(), rt_bins * columns) << name;
  EXPECT_EQ(grid.points, total_points) << name;
  EXPECT_EQ(grid.dropped_points, 0u) << name;
  // Equal widths, a power of two times 1/1024, edges on multiples of 1/1024.
  const double width = grid.mz_edges[1] - grid.mz_edges[0];
  EXPECT_EQ(std::exp2(std::round(std::log2(width * 1024))) / 1024, width) << name;
  for (std::size_t i = 0; i < columns; ++i) {
    EXPECT_EQ(grid.mz_edges[i + 1] - grid.mz_edges[i], width) << name << " column " << i;
    EXPECT_EQ(std::fmod(grid.mz_edges[i], 1.0 / 1024), 0.0) << name;
  }
  std::vector<double> expected(grid.cells.size(), 0.0);
  for (const auto& spectrum : spectra) {
    for (const auto& p : spectrum) {
      const auto up = std::upper_bound(grid.mz_edges.begin(), grid.mz_edges.end(), p.mz);
      ASSERT_NE(up, grid.mz_edges.begin()) << name << ": " << p.mz << " below the first edge";
      ASSERT_LT(p.mz, grid.mz_edges.back()) << name;
      const auto column = static_cast<std::size_t>(up - grid.mz_edges.begin() - 1);
      const auto row = std::min<std::size_t>(static_cast<std::size_t>(p.rt / 100.0 * rt_bins), rt_bins - 1);
      expected[row * columns + column] += p.intensity;
    }
  }
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NEAR(grid.cells[i], expected[i], 1e-9 * std::max(1.0, expected[i])) << name << " cell " << i;
  }
  // The outer columns hold data (the empty ends were cut off).
  double first = 0, last = 0;
  for (std::uint32_t row = 0; row < rt_bins; ++row) {
    first += grid.cells[row * columns];
    last += grid.cells[row * columns + columns - 1];
  }
  EXPECT_GT(first, 0.0) << name;
  EXPECT_GT(last, 0.0) << name;
}

std::vector<std::vector<Point>> random_run(std::mt19937_64& random, int scans, int points, double mz_low,
                                           double mz_high, bool ascending) {
  std::uniform_real_distribution<double> mz(mz_low, mz_high);
  std::uniform_real_distribution<float> intensity(1.0f, 1000.0f);
  std::vector<std::vector<Point>> spectra(scans);
  for (int s = 0; s < scans; ++s) {
    const double rt = 100.0 * s / std::max(1, scans - 1);
    for (int i = 0; i < points; ++i) spectra[s].push_back({rt, mz(random), intensity(random)});
    if (ascending) {
      std::sort(spectra[s].begin(), spectra[s].end(), [](const Point& a, const Point& b) { return a.mz < b.mz; });
    }
  }
  return spectra;
}

TEST(RtMzMapAutomatic, EveryPointLandsInTheCellOfItsMz) {
  std::mt19937_64 random(20260);
  const struct {
    const char* name;
    int scans, points;
    double mz_low, mz_high;
    bool ascending;
    std::uint32_t rt_bins, mz_bins;
  } cases[] = {
      {"typical MS1 range, ascending", 40, 300, 100, 1700, true, 8, 64},
      {"same, shuffled points", 40, 300, 100, 1700, false, 8, 64},
      {"narrow cluster", 10, 200, 445.10, 445.14, false, 3, 32},
      {"wide range", 5, 400, 0.5, 9e6, false, 4, 128},
      {"one column", 5, 50, 300, 900, true, 2, 1},
      {"odd column count", 20, 100, 50, 2000, false, 5, 77},
      {"one point a spectrum", 30, 1, 200, 800, true, 6, 16},
  };
  for (const auto& c : cases) {
    expect_cells_hold_their_points(random_run(random, c.scans, c.points, c.mz_low, c.mz_high, c.ascending),
                                   c.rt_bins, c.mz_bins, c.name);
  }
}

TEST(RtMzMapAutomatic, PointsBelowAndAboveTheFirstOnesGrowTheRange) {
  const std::vector<std::vector<Point>> spectra = {
      {{0, 500.0, 1}},
      {{10, 499.999, 2}},   // just below: grows down
      {{20, 500.5001, 3}},  // past the top: grows up
      {{30, 0.0, 4}},       // far below, to zero
      {{40, 1e7, 5}},       // the highest placeable m/z
  };
  expect_cells_hold_their_points(spectra, 5, 512, "growing both ways");
}

TEST(RtMzMapAutomatic, AscendingSpectraKeepAtLeastAQuarterOfTheColumns) {
  std::mt19937_64 random(7);
  for (const double high : {101.0, 150.0, 900.0, 1700.0, 5000.0}) {
    auto spectra = random_run(random, 20, 500, 100, high, true);
    auto map = make(auto_shape(4, 256));
    for (const auto& spectrum : spectra) {
      std::vector<double> mz;
      std::vector<float> intensity;
      for (const auto& p : spectrum) mz.push_back(p.mz), intensity.push_back(p.intensity);
      map.add(spectrum.front().rt, mz, intensity);
    }
    const MapGrid grid = map.finish();
    EXPECT_GE(grid.mz_edges.size() - 1, 64u) << high;
  }
}

TEST(RtMzMapAutomatic, NoPointLeavesOneEmptyColumn) {
  auto map = make(auto_shape(3, 64));
  const double mz[] = {kNaN, -1.0, 2e7};
  const float intensity[] = {1, 1, 1};
  map.add(50, mz, intensity);
  map.add(50, {}, {});
  const MapGrid grid = map.finish();
  EXPECT_EQ(grid.mz_edges.size(), 2u);
  EXPECT_EQ(grid.cells, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(grid.points, 0u);
  EXPECT_EQ(grid.dropped_points, 3u);
}

std::vector<std::vector<Point>> spread_run(std::uint64_t seed, int scans, int points) {
  std::mt19937_64 random(seed);
  return random_run(random, scans, points, 95, 1205, true);
}

void add_points(RtMzMap& map, const std::vector<Point>& spectrum) {
  std::vector<double> mz;
  std::vector<float> intensity;
  for (const auto& p : spectrum) mz.push_back(p.mz), intensity.push_back(p.intensity);
  map.add(spectrum.front().rt, mz, intensity);
}

MapRow bin_points(const RtMzMap& map, const std::vector<Point>& spectrum) {
  std::vector<double> mz;
  std::vector<float> intensity;
  for (const auto& p : spectrum) mz.push_back(p.mz), intensity.push_back(p.intensity);
  return map.bin(spectrum.front().rt, mz, intensity);
}

TEST(RtMzMapRows, BinningThenAddingGivesTheCellsOfAddingThePoints) {
  const struct {
    const char* name;
    MapShape shape;
  } cases[] = {
      {"inside", fixed_shape(0, 100, 10, 90, 1210, 64)},
      {"cutting both ends", fixed_shape(20, 80, 7, 300, 900, 33)},
      {"one cell", fixed_shape(0, 100, 1, 0, 2000, 1)},
  };
  const auto spectra = spread_run(11, 50, 200);
  for (const auto& c : cases) {
    auto direct = make(c.shape);
    auto by_rows = make(c.shape);
    for (const auto& spectrum : spectra) {
      add_points(direct, spectrum);
      by_rows.add(bin_points(by_rows, spectrum));
    }
    const MapGrid a = direct.finish(), b = by_rows.finish();
    EXPECT_EQ(a.points, b.points) << c.name;
    EXPECT_EQ(a.dropped_points, b.dropped_points) << c.name;
    EXPECT_EQ(a.mz_edges, b.mz_edges) << c.name;
    ASSERT_EQ(a.cells.size(), b.cells.size()) << c.name;
    for (std::size_t i = 0; i < a.cells.size(); ++i) {
      EXPECT_NEAR(a.cells[i], b.cells[i], 1e-9 * std::max(1.0, a.cells[i])) << c.name << " cell " << i;
    }
  }
}

TEST(RtMzMapRows, RowsBinnedOnSeveralThreadsAndAddedInOrderGiveTheSameBits) {
  const MapShape shape = fixed_shape(0, 100, 16, 90, 1210, 128);
  const auto spectra = spread_run(12, 200, 300);
  auto serial = make(shape);
  for (const auto& spectrum : spectra) serial.add(bin_points(serial, spectrum));

  auto threaded = make(shape);
  std::vector<MapRow> rows(spectra.size());
  {
    std::vector<std::jthread> workers;
    for (std::size_t w = 0; w < 4; ++w) {
      workers.emplace_back([&, w] {
        // Each thread takes every fourth spectrum, from the end backwards.
        for (std::size_t i = spectra.size(); i-- > 0;) {
          if (i % 4 == w) rows[i] = bin_points(threaded, spectra[i]);
        }
      });
    }
  }
  for (const auto& row : rows) threaded.add(row);
  EXPECT_EQ(serial.finish().cells, threaded.finish().cells);
}

TEST(RtMzMapRows, AnAutomaticRangeOrAnRtOutsideBinsNothing) {
  const std::vector<Point> spectrum = {{50, 500, 1}, {50, 600, 2}};
  auto automatic = make(auto_shape(4, 16));
  const MapRow unbinned = bin_points(automatic, spectrum);
  EXPECT_EQ(unbinned.points, 0u);
  EXPECT_EQ(unbinned.dropped_points, 2u);
  EXPECT_TRUE(unbinned.columns.empty());

  auto fixed = make(fixed_shape(60, 100, 4, 0, 1000, 10));
  const MapRow outside = bin_points(fixed, spectrum);  // rt 50 is before the range
  EXPECT_EQ(outside.dropped_points, 2u);
  fixed.add(outside);
  EXPECT_EQ(fixed.finish().dropped_points, 2u);
}

TEST(RtMzMapRows, AscendingPointsMakeOneEntryPerColumn) {
  auto map = make(fixed_shape(0, 10, 1, 0, 100, 10));
  const double mz[] = {1, 2, 15, 16, 17, 55, 99, 100};
  const float intensity[] = {1, 1, 2, 2, 2, 5, 9, 1};
  const MapRow row = map.bin(5, mz, intensity);
  EXPECT_EQ(row.columns, (std::vector<std::uint32_t>{0, 1, 5, 9}));
  EXPECT_EQ(row.sums, (std::vector<double>{2, 6, 5, 10}));
  EXPECT_EQ(row.points, 8u);
}

}  // namespace
}  // namespace karvel::qc
