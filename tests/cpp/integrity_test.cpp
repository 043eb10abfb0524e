#include "reader/integrity.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>
#include <vector>

namespace karvel::reader {
namespace {

TEST(IntegrityLog, CountsEachKindAndKeepsItsFirstExample) {
  struct Step {
    IntegrityKind kind;
    std::uint64_t count;
    const char* example;
  };
  const std::vector<Step> steps = {
      {IntegrityKind::UnrecognisedValue, 3, "first polarity"},
      {IntegrityKind::CalibrationFallback, 0, "nothing happened"},
      {IntegrityKind::CalibrationFallback, 5, "scan index 2"},
      {IntegrityKind::UnrecognisedValue, 1, "second polarity"},
  };
  IntegrityLog log;
  for (const Step& step : steps) log.record(step.kind, step.count, step.example);
  const auto events = log.events();
  ASSERT_EQ(events.size(), 2u);
  // Kind order, not the order met.
  EXPECT_EQ(events[0].kind, IntegrityKind::CalibrationFallback);
  EXPECT_EQ(events[0].count, 5u);
  EXPECT_EQ(events[0].first, "scan index 2");
  EXPECT_EQ(events[1].kind, IntegrityKind::UnrecognisedValue);
  EXPECT_EQ(events[1].count, 4u);
  EXPECT_EQ(events[1].first, "first polarity");
  EXPECT_EQ(log.kinds(), (1u << static_cast<int>(IntegrityKind::CalibrationFallback)) |
                             (1u << static_cast<int>(IntegrityKind::UnrecognisedValue)));
}

TEST(IntegrityLog, AScanMetAgainOnAnotherThreadCountsOnce) {
  IntegrityLog log;
  constexpr int kThreads = 4;
  constexpr std::uint64_t kScans = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      // Every thread fails every scan, in its own order.
      for (std::uint64_t i = 0; i < kScans; ++i) {
        const std::uint64_t scan = (i * (2 * t + 1)) % kScans;
        log.record_scan(IntegrityKind::UndecodableSpectrum, scan, "scanId=" + std::to_string(scan));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto events = log.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].count, kScans);
  EXPECT_TRUE(events[0].first.starts_with("scanId="));
}

TEST(IntegrityLog, KindNamesAreDistinct) {
  std::set<std::string> names;
  for (std::size_t k = 0; k < kIntegrityKindCount; ++k) {
    const auto kind = static_cast<IntegrityKind>(k);
    EXPECT_NE(integrity_kind_name(kind), "unknown");
    EXPECT_NE(integrity_kind_summary(kind), "unknown");
    names.emplace(integrity_kind_name(kind));
  }
  EXPECT_EQ(names.size(), kIntegrityKindCount);
}

}  // namespace
}  // namespace karvel::reader
