#include "reader/mz_windows.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace karvel::reader {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The sums of the points in arrays, checked against those of the same
// points read where a block stores them as pairs.
std::vector<double> sums(const MzWindows& windows, const std::vector<double>& mz,
                         const std::vector<float>& intensity) {
  std::vector<double> out(windows.size(), -1.0);
  windows.sum(mz, intensity, out.data(), 1);
  constexpr std::size_t kStride = raw::mspeak::StoredPairs::kStride;
  const std::size_t points = std::min(mz.size(), intensity.size());
  std::vector<std::uint8_t> pairs(kStride * points);
  for (std::size_t i = 0; i < points; ++i) {
    std::memcpy(&pairs[kStride * i], &mz[i], 8);
    std::memcpy(&pairs[kStride * i + 8], &intensity[i], 4);
  }
  std::vector<double> in_place(windows.size(), -1.0);
  windows.sum(raw::mspeak::StoredPairs(pairs.data(), points), in_place.data(), 1);
  EXPECT_EQ(in_place, out);
  return out;
}

TEST(MzWindows, Cases) {
  struct Case {
    const char* name;
    std::vector<double> mz;
    std::vector<float> intensity;
    std::vector<MzWindow> windows;
    std::vector<double> expected;
  };
  const std::vector<double> rising_mz{100, 200, 200, 300, 400};
  const std::vector<float> five{1, 2, 4, 8, 16};
  const Case cases[] = {
      {"bounds are inclusive", rising_mz, five, {{200, 300}, {100, 100}, {400, 400}}, {14, 1, 16}},
      {"one window's bounds are inclusive", rising_mz, five, {{200, 300}}, {14}},
      {"two windows' bounds are inclusive", rising_mz, five, {{200, 200}, {400, 400}}, {6, 16}},
      {"overlapping windows share points", rising_mz, five, {{100, 300}, {150, 450}, {200, 200}, {0, 1000}},
       {15, 30, 6, 31}},
      {"windows in falling order", rising_mz, five, {{350, 450}, {250, 350}, {150, 250}, {50, 150}},
       {16, 8, 6, 1}},
      {"empty and NaN windows hold nothing", rising_mz, five,
       {{300, 200}, {kNaN, 500}, {0, kNaN}, {500, 600}, {0, 50}}, {0, 0, 0, 0, 0}},
      {"infinite bounds", rising_mz, five, {{-kInf, 200}, {300, kInf}, {-kInf, kInf}}, {7, 24, 31}},
      {"points out of order", {300, 100, 200, 400, 200}, five, {{200, 300}, {100, 150}, {0, 1000}},
       {1 + 4 + 16, 2, 31}},
      {"a NaN m/z is in no window", {100, kNaN, 300, 400, 500}, five, {{0, 1000}, {250, 450}, {50, 150}},
       {29, 12, 1}},
      {"no points", {}, {}, {{0, 1000}, {1, 2}, {3, 4}}, {0, 0, 0}},
      {"a longer m/z list than intensities: the common length", {100, 200, 300}, {1, 2}, {{0, 1000}, {150, 350}, {0, 50}},
       {3, 2, 0}},
  };
  for (const auto& c : cases) {
    const MzWindows windows(c.windows);
    EXPECT_EQ(sums(windows, c.mz, c.intensity), c.expected) << c.name;
  }
}

TEST(MzWindows, StridedOutputLeavesOtherSlotsAlone) {
  const MzWindows windows({{0, 150}, {150, 1000}, {500, 400}});
  const std::vector<double> mz{100, 200, 300};
  const std::vector<float> intensity{1, 2, 4};
  std::vector<double> out(9, -1.0);
  windows.sum(mz, intensity, out.data() + 1, 3);
  EXPECT_EQ(out, (std::vector<double>{-1, 1, -1, -1, 6, -1, -1, 0, -1}));
}

// Over random spectra (rising or shuffled, with repeated m/z) and random
// windows, every window's sum is bit for bit that of scanning the points
// for it alone, whichever order the windows come in. Every fourth round
// has up to 400 narrow windows on the points' grid, disjoint or touching
// (one's high the next one's low), as many as the points or more.
TEST(MzWindows, ManyWindowsEqualEachAlone) {
  std::mt19937_64 random(20261208);
  std::uniform_real_distribution<double> mz_of(100.0, 1000.0);
  std::uniform_real_distribution<double> width_of(0.0, 5.0);
  std::uniform_real_distribution<float> intensity_of(0.0f, 1e6f);
  for (int round = 0; round < 300; ++round) {
    const std::size_t points = random() % 400;
    std::vector<double> mz(points);
    for (auto& value : mz) value = std::round(mz_of(random) * 4) / 4;  // repeats happen
    if (round % 3 != 0) std::sort(mz.begin(), mz.end());
    std::vector<float> intensity(points);
    for (auto& value : intensity) value = intensity_of(random);
    std::vector<MzWindow> list(1 + random() % (round % 4 == 1 ? 400 : 60));
    if (round % 4 == 1) {
      std::vector<double> grid;
      for (double centre = 100; centre < 1000; centre += 0.25 * static_cast<double>(1 + random() % 4)) {
        grid.push_back(centre);
      }
      std::shuffle(grid.begin(), grid.end(), random);
      const double half = random() % 2 ? 0.1 : 0.125;
      for (std::size_t k = 0; k < list.size(); ++k) list[k] = {grid[k] - half, grid[k] + half};
    } else {
      for (auto& window : list) {
        const double centre = points != 0 && random() % 2 ? mz[random() % points] : mz_of(random);
        const double half = width_of(random);
        window = {centre - half, centre + half};
      }
    }
    const MzWindows windows(list);
    const auto together = sums(windows, mz, intensity);
    for (std::size_t k = 0; k < list.size(); ++k) {
      const auto alone = sums(MzWindows({list[k]}), mz, intensity);
      ASSERT_EQ(together[k], alone[0]) << "round " << round << " window " << k;
      double expected = 0.0;
      for (std::size_t i = 0; i < points; ++i) {
        if (mz[i] >= list[k].low && mz[i] <= list[k].high) expected += intensity[i];
      }
      ASSERT_EQ(together[k], expected) << "round " << round << " window " << k;
    }
  }
}

TEST(Rising, Cases) {
  struct Case {
    const char* name;
    std::vector<double> mz;
    bool expected;
  };
  const Case cases[] = {
      {"empty", {}, true},
      {"one", {5}, true},
      {"one NaN", {kNaN}, false},
      {"repeats", {1, 2, 2, 3}, true},
      {"a fall", {1, 3, 2}, false},
      {"a NaN inside", {1, kNaN, 3}, false},
      {"a NaN last", {1, 2, kNaN}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(rising(c.mz), c.expected) << c.name;
}

// Long spectra, rising or with one fall or NaN anywhere (inside the wide
// blocks, on their edges, in the tail): the same verdict as comparing each
// neighbour pair.
TEST(Rising, OneFaultAnywhereInLongSpectra) {
  std::mt19937_64 random(20261209);
  for (int round = 0; round < 400; ++round) {
    std::vector<double> mz(random() % 1100);
    double value = 100.0;
    for (auto& m : mz) m = value += static_cast<double>(random() % 3) * 0.25;
    if (!mz.empty() && round % 4 != 0) {
      const std::size_t at = random() % mz.size();
      mz[at] = round % 2 ? kNaN : mz[at] - 1.0;
    }
    bool expected = mz.size() != 1 || mz[0] == mz[0];
    for (std::size_t i = 1; i < mz.size(); ++i) expected = expected && mz[i - 1] <= mz[i];
    ASSERT_EQ(rising(mz), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace karvel::reader
