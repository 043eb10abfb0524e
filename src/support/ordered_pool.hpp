// OrderedPool: work(position, worker) run for every position 0..count-1,
// results handed out in position order. Whatever the work is (decoding,
// encoding, peak picking, quality passes), every pool of the library follows
// the same rules:
//
//   threads   1 runs each item in the calling thread when next() asks for
//             it; n > 1 starts min(n, kMaxWorkers, count) worker threads.
//             0 is not a count: callers resolve "unset" to available_cores()
//             and refuse 0 where the value enters the library.
//   grain     a worker takes `grain` consecutive positions at once and hands
//             their results over together, so that items far cheaper than
//             a hand-over (one-point MRM scans) do not cost mostly locking;
//             grain_for() picks it from the points the items carry.
//   window    at most kWindowPerWorker batches a worker are being worked on
//             or waiting to be taken, so memory does not grow with the count.
//             Workers that wait for room are woken once the consumer has
//             taken half the window, not for every item, so that they and
//             the consumer do not hand the processor back and forth.
//   lifetime  the workers are joined threads: stop() ends them after the
//             item each has in hand, the destructor stops and joins them.
//   errors    an item's failure is its result, handed out in its turn; an
//             exception escaping work keeps its kind: std::bad_alloc a
//             Memory error, anything else an Internal error with its text.
//
// work is called concurrently for different positions, never twice for one;
// `worker` (below workers(), 0 in the calling thread) lets it keep state of
// its own per worker, such as a compressor.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "support/error.hpp"

namespace karvel {

// The processors this process may run on (at least 1).
unsigned available_cores() noexcept;

template <class T>
class OrderedPool {
 public:
  using Work = std::function<Result<T>(std::size_t position, std::size_t worker)>;

  static constexpr unsigned kMaxWorkers = 64;
  static constexpr std::size_t kWindowPerWorker = 8;
  static constexpr std::size_t kMaxGrain = 64;
  // About the points a batch should carry for its hand-over to cost little
  // beside decoding them.
  static constexpr std::uint64_t kBatchPoints = 8192;

  // The grain for `items` items carrying `points` points in all: 1 for
  // items of kBatchPoints points or more, up to kMaxGrain for tiny ones.
  static std::size_t grain_for(std::uint64_t points, std::size_t items) noexcept {
    if (items == 0) return 1;
    const std::uint64_t mean = std::max<std::uint64_t>(points / items, 1);
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(kBatchPoints / mean, 1, kMaxGrain));
  }

  // The threads a pass should use for `items` items carrying `points`
  // points in all, asked for `threads`: 1 (the calling thread) when the
  // items are so small that even batches of kMaxGrain of them cost mostly
  // hand-overs, as for a consumer that makes an object of each item; else
  // `threads`.
  static unsigned threads_for(std::uint64_t points, std::size_t items, unsigned threads) noexcept {
    return threads > 1 && grain_for(points, items) == kMaxGrain ? 1 : threads;
  }

  // Worker threads a pool of count items on `threads` threads starts; 0
  // when the items run in the calling thread.
  static std::size_t worker_count(std::size_t count, unsigned threads) noexcept {
    if (threads <= 1 || count == 0) return 0;
    return std::min<std::size_t>(std::min(threads, kMaxWorkers), count);
  }

  // An Argument error for threads == 0; an Io error (Memory when out of
  // memory) when a thread cannot be started (the ones already started are
  // stopped and joined). A grain of 0 counts as 1.
  static Result<std::unique_ptr<OrderedPool>> start(std::size_t count, unsigned threads, Work work,
                                                    std::size_t grain = 1) {
    if (threads == 0) return argument_error("threads must be at least 1");
    const std::size_t workers = worker_count(count, threads);
    std::unique_ptr<OrderedPool> pool(
        new OrderedPool(count, workers, std::clamp<std::size_t>(grain, 1, kMaxGrain), std::move(work)));
    try {
      pool->threads_.reserve(workers);
      for (std::size_t i = 0; i < workers; ++i) {
        pool->threads_.emplace_back([raw = pool.get(), i] { raw->run_worker(i); });
      }
    } catch (const std::bad_alloc&) {
      return std::unexpected(Error::out_of_memory());
    } catch (const std::system_error& error) {
      return std::unexpected(Error::io_from_errno(error.code().value()));
    } catch (const std::exception& error) {
      return std::unexpected(Error::internal(std::string("cannot start a worker thread: ") + error.what()));
    }
    return pool;
  }

  ~OrderedPool() {
    stop();
    for (std::thread& thread : threads_) thread.join();
  }
  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;

  std::size_t size() const noexcept { return count_; }
  // Worker threads; 0 when items run in the calling thread.
  std::size_t workers() const noexcept { return workers_; }
  // Positions worked on or waiting at most at once, and taken at once.
  std::size_t window() const noexcept { return window_; }
  std::size_t grain() const noexcept { return grain_; }

  // The result of the next position, nothing after the last or once
  // stopped. Blocks while it is being worked on (in the calling thread when
  // there are no workers). One caller at a time.
  std::optional<Result<T>> next() {
    std::lock_guard one_consumer(consumer_mutex_);
    if (inline_) {
      std::size_t position = 0;
      {
        std::lock_guard lock(mutex_);
        if (stopped_ || consumed_ >= count_) return std::nullopt;
        position = consumed_++;
      }
      return run_item(position, 0);
    }
    std::optional<Result<T>> taken;
    std::unique_lock lock(mutex_);
    if (stopped_ || consumed_ >= count_) return std::nullopt;
    auto& slot = ring_[consumed_ % window_];
    result_ready_.wait(lock, [&] { return stopped_ || slot.has_value(); });
    if (stopped_) return std::nullopt;
    taken = std::exchange(slot, std::nullopt);
    ++consumed_;
    if (assigned_ < count_ && assigned_ - consumed_ <= window_ / 2) space_free_.notify_all();
    return taken;
  }

  // True when next() would return without waiting or working: a result is
  // waiting, or the pool is at its end or stopped.
  bool ready() {
    std::lock_guard lock(mutex_);
    if (stopped_ || consumed_ >= count_) return true;
    return !inline_ && ring_[consumed_ % window_].has_value();
  }

  // Ends the workers after the batch each has in hand and drops every
  // waiting result; later next() calls return nothing. Does not wait.
  void stop() noexcept {
    std::vector<std::optional<Result<T>>> dropped;
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
      dropped.swap(ring_);  // nobody touches the ring once stopped_ is set
      result_ready_.notify_all();
      space_free_.notify_all();
    }
  }

 private:
  OrderedPool(std::size_t count, std::size_t workers, std::size_t grain, Work work)
      : count_(count),
        workers_(workers),
        grain_(workers == 0 ? 1 : grain),
        window_(kWindowPerWorker * std::max<std::size_t>(workers, 1) * grain_),
        inline_(workers == 0),
        work_(std::move(work)) {
    if (!inline_) ring_.resize(window_);
  }

  Result<T> run_item(std::size_t position, std::size_t worker) noexcept {
    try {
      return work_(position, worker);
    } catch (...) {
      return std::unexpected(Error::of_current_exception());
    }
  }

  void run_worker(std::size_t worker) noexcept {
    std::vector<Result<T>> batch;
    batch.reserve(grain_);
    for (;;) {
      std::size_t first = 0;
      std::size_t end = 0;
      {
        std::unique_lock lock(mutex_);
        space_free_.wait(lock, [&] {
          return stopped_ || assigned_ >= count_ || assigned_ + grain_ <= consumed_ + window_;
        });
        if (stopped_ || assigned_ >= count_) return;
        first = assigned_;
        end = std::min(count_, first + grain_);
        assigned_ = end;
      }
      for (std::size_t position = first; position < end; ++position) {
        batch.push_back(run_item(position, worker));
      }
      std::unique_lock lock(mutex_);
      if (stopped_) {
        lock.unlock();  // the results are dropped outside the lock
        return;
      }
      for (std::size_t position = first; position < end; ++position) {
        ring_[position % window_].emplace(std::move(batch[position - first]));
      }
      batch.clear();
      if (consumed_ >= first && consumed_ < end) result_ready_.notify_one();
    }
  }

  const std::size_t count_;
  const std::size_t workers_;
  const std::size_t grain_;
  const std::size_t window_;
  const bool inline_;
  const Work work_;

  std::mutex consumer_mutex_;  // one caller of next() at a time
  std::mutex mutex_;
  std::condition_variable result_ready_;  // the consumer waits here
  std::condition_variable space_free_;    // workers wait here
  std::vector<std::optional<Result<T>>> ring_;  // position p in slot p % window_
  std::size_t assigned_ = 0;                    // next position a worker takes
  std::size_t consumed_ = 0;                    // next position next() hands out
  bool stopped_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace karvel
