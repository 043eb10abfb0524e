#include "support/ordered_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

namespace karvel {
namespace {

using Pool = OrderedPool<std::size_t>;

// Drains the pool; values (or -1 for a failure) in the order handed out.
std::vector<long> drain(Pool& pool) {
  std::vector<long> values;
  while (auto item = pool.next()) values.push_back(*item ? static_cast<long>(**item) : -1);
  return values;
}

TEST(OrderedPool, ResultsComeInPositionOrder) {
  struct Case {
    std::size_t count;
    unsigned threads;
  };
  const Case cases[] = {{0, 1}, {0, 4}, {1, 1}, {1, 8}, {7, 1}, {7, 2}, {100, 3}, {100, 64}, {300, 200}};
  for (std::size_t grain : {1u, 2u, 7u, 64u, 1000u}) {
    for (const Case& c : cases) {
      auto pool = Pool::start(
          c.count, c.threads,
          [](std::size_t position, std::size_t) -> Result<std::size_t> {
            // Later positions finish first now and then.
            if (position % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            return position * 3;
          },
          grain);
      ASSERT_TRUE(pool) << c.count << " " << c.threads;
      std::vector<long> expected;
      for (std::size_t i = 0; i < c.count; ++i) expected.push_back(static_cast<long>(3 * i));
      EXPECT_EQ(drain(**pool), expected) << c.count << " items, " << c.threads << " threads, grain " << grain;
      EXPECT_FALSE((*pool)->next()) << "nothing after the last";
    }
  }
}

TEST(OrderedPool, GrainFromThePointsOfTheItems) {
  struct Case {
    std::uint64_t points;
    std::size_t items;
    std::size_t grain;
  };
  const Case cases[] = {
      {0, 0, 1},                  // nothing to do
      {100000, 100000, 64},       // one-point MRM scans: the most
      {0, 500, 64},               // empty spectra
      {2000 * 20000, 20000, 4},   // centroid spectra of 2,000 points
      {8192, 1, 1},               // a batch's worth alone
      {100000 * 2000ull, 2000, 1},  // profile spectra
      {8192 * 10, 20, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Pool::grain_for(c.points, c.items), c.grain) << c.points << " points, " << c.items << " items";
  }
  // In the calling thread there is nothing to hand over.
  auto inline_pool = Pool::start(10, 1, [](std::size_t p, std::size_t) -> Result<std::size_t> { return p; }, 16);
  ASSERT_TRUE(inline_pool);
  EXPECT_EQ((*inline_pool)->grain(), 1u);
  auto zero = Pool::start(10, 2, [](std::size_t p, std::size_t) -> Result<std::size_t> { return p; }, 0);
  ASSERT_TRUE(zero);
  EXPECT_EQ((*zero)->grain(), 1u);
}

TEST(OrderedPool, WorkerCounts) {
  struct Case {
    std::size_t count;
    unsigned threads;
    std::size_t workers;
  };
  const Case cases[] = {{10, 1, 0}, {0, 8, 0}, {3, 8, 3}, {100, 2, 2}, {1000, 500, Pool::kMaxWorkers}};
  for (const Case& c : cases) {
    EXPECT_EQ(Pool::worker_count(c.count, c.threads), c.workers) << c.count << " " << c.threads;
    auto pool = Pool::start(c.count, c.threads, [](std::size_t p, std::size_t) -> Result<std::size_t> { return p; });
    ASSERT_TRUE(pool);
    EXPECT_EQ((*pool)->workers(), c.workers);
    EXPECT_EQ((*pool)->window(), Pool::kWindowPerWorker * std::max<std::size_t>(c.workers, 1));
  }
}

TEST(OrderedPool, ZeroThreadsIsRefused) {
  auto pool = Pool::start(5, 0, [](std::size_t p, std::size_t) -> Result<std::size_t> { return p; });
  ASSERT_FALSE(pool);
  EXPECT_EQ(pool.error().kind(), Error::Kind::Argument);
}

TEST(OrderedPool, OneThreadWorksInTheCallersThread) {
  const auto caller = std::this_thread::get_id();
  std::atomic<std::size_t> calls{0};
  bool elsewhere = false;
  auto pool = Pool::start(4, 1, [&](std::size_t position, std::size_t worker) -> Result<std::size_t> {
    ++calls;
    if (std::this_thread::get_id() != caller || worker != 0) elsewhere = true;
    return position;
  });
  ASSERT_TRUE(pool);
  EXPECT_EQ(calls.load(), 0u) << "nothing runs before it is asked for";
  EXPECT_FALSE((*pool)->ready());
  ASSERT_TRUE((*pool)->next());
  EXPECT_EQ(calls.load(), 1u);
  EXPECT_EQ(drain(**pool), (std::vector<long>{1, 2, 3}));
  EXPECT_FALSE(elsewhere);
  EXPECT_TRUE((*pool)->ready()) << "at the end";
}

TEST(OrderedPool, TheWindowBoundsWorkAhead) {
  // Nothing is taken: the workers must stop after one window of items.
  for (std::size_t grain : {1u, 4u}) {
    for (unsigned threads : {2u, 4u}) {
      std::atomic<std::size_t> started{0};
      auto pool = Pool::start(
          1000, threads,
          [&](std::size_t p, std::size_t) -> Result<std::size_t> {
            ++started;
            return p;
          },
          grain);
      ASSERT_TRUE(pool);
      const std::size_t window = (*pool)->window();
      EXPECT_EQ(window, Pool::kWindowPerWorker * threads * grain);
      for (int i = 0; i < 10000 && started.load() < window; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      EXPECT_EQ(started.load(), window) << threads << " threads, grain " << grain;
      // Taking one item does not yet wake the workers; taking half the window does.
      ASSERT_TRUE((*pool)->next());
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_EQ(started.load(), window);
      for (std::size_t i = 1; i < window / 2; ++i) ASSERT_TRUE((*pool)->next());
      for (int i = 0; i < 10000 && started.load() < window + window / 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_EQ(started.load(), window + window / 2) << threads << " threads, grain " << grain;
    }
  }
}

TEST(OrderedPool, FailuresAreResultsInTheirTurn) {
  for (unsigned threads : {1u, 3u}) {
    auto pool = Pool::start(6, threads, [](std::size_t position, std::size_t) -> Result<std::size_t> {
      if (position == 1) return parse_error("bad block");
      if (position == 3) throw std::runtime_error("thrown");
      if (position == 4) throw std::bad_alloc();
      return position;
    });
    ASSERT_TRUE(pool);
    std::vector<std::string> seen;
    std::vector<Error::Kind> kinds;
    while (auto item = (*pool)->next()) {
      seen.push_back(*item ? std::to_string(**item) : item->error().display());
      if (!*item) kinds.push_back(item->error().kind());
    }
    // An escaping exception keeps what it says: memory ran out, or a fault
    // of the work itself; neither is the run's data nor the file system.
    EXPECT_EQ(seen, (std::vector<std::string>{"0", "parse error: bad block", "2", "internal error: thrown",
                                              "out of memory", "5"}))
        << threads << " threads";
    EXPECT_EQ(kinds, (std::vector<Error::Kind>{Error::Kind::Parse, Error::Kind::Internal, Error::Kind::Memory}));
  }
}

TEST(OrderedPool, EachWorkerIndexIsUsedByOneThreadAtATime) {
  std::mutex mutex;
  std::set<std::size_t> busy;
  bool overlap = false;
  auto pool = Pool::start(200, 4, [&](std::size_t position, std::size_t worker) -> Result<std::size_t> {
    {
      std::lock_guard lock(mutex);
      if (!busy.insert(worker).second || worker >= 4) overlap = true;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    std::lock_guard lock(mutex);
    busy.erase(worker);
    return position;
  });
  ASSERT_TRUE(pool);
  EXPECT_EQ(drain(**pool).size(), 200u);
  EXPECT_FALSE(overlap);
}

TEST(OrderedPool, StopEndsTheIteration) {
  for (unsigned threads : {1u, 3u}) {
    auto pool = Pool::start(100, threads, [](std::size_t p, std::size_t) -> Result<std::size_t> { return p; });
    ASSERT_TRUE(pool);
    ASSERT_TRUE((*pool)->next());
    (*pool)->stop();
    EXPECT_FALSE((*pool)->next());
    EXPECT_TRUE((*pool)->ready());
  }
}

TEST(OrderedPool, StopWakesAWaitingConsumer) {
  std::atomic<bool> release{false};
  auto pool = Pool::start(10, 2, [&](std::size_t p, std::size_t) -> Result<std::size_t> {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return p;
  });
  ASSERT_TRUE(pool);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    (*pool)->stop();
    release.store(true);
  });
  EXPECT_FALSE((*pool)->next());
  stopper.join();
}

TEST(OrderedPool, DestroyingWithWorkInFlightJoinsTheWorkers) {
  // The shared counter outlives the pool; after destruction no work runs.
  auto runs = std::make_shared<std::atomic<std::size_t>>(0);
  {
    auto pool = Pool::start(10000, 4, [runs](std::size_t p, std::size_t) -> Result<std::size_t> {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      ++*runs;
      return p;
    });
    ASSERT_TRUE(pool);
    ASSERT_TRUE((*pool)->next());
  }
  const std::size_t after = runs->load();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(runs->load(), after);
  EXPECT_LT(after, 10000u);
}

TEST(OrderedPool, AvailableCoresIsPositive) { EXPECT_GE(available_cores(), 1u); }

}  // namespace
}  // namespace karvel
