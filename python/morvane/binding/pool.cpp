#include "pool.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <thread>

namespace karvel::python::morvane {

DecodePool::DecodePool(std::shared_ptr<const reader::Reader> reader,
                       std::vector<std::uint32_t> indices, BlockChoice choice, std::size_t window)
    : reader_(std::move(reader)),
      indices_(std::move(indices)),
      choice_(choice),
      window_(window),
      buffers_(std::make_shared<PeakBuffers>(window)),
      ring_(window) {}

DecodePool::~DecodePool() = default;

std::shared_ptr<DecodePool> DecodePool::start(std::shared_ptr<const reader::Reader> reader,
                                              std::vector<std::uint32_t> indices, BlockChoice choice,
                                              unsigned threads) {
  // More workers than cores only cost memory: the window grows with them.
  constexpr unsigned kMaxWorkers = 64;
  const std::size_t workers = std::min<std::size_t>(std::clamp(threads, 1u, kMaxWorkers),
                                                    std::max<std::size_t>(indices.size(), 1));
  // Eight per worker: decoding runs ahead while Python is busy, and a
  // worker sleeps and wakes once per four spectra at most.
  const std::size_t window = 8 * workers;
  std::shared_ptr<DecodePool> pool(new DecodePool(std::move(reader), std::move(indices), choice, window));
  if (pool->indices_.empty()) return pool;
  try {
    for (std::size_t i = 0; i < workers; ++i) {
      std::thread([pool] { pool->work(); }).detach();
    }
  } catch (...) {
    pool->stop();
    throw;
  }
  return pool;
}

void DecodePool::work() noexcept {
  for (;;) {
    std::size_t position = 0;
    {
      std::unique_lock lock(mutex_);
      space_free_.wait(lock, [&] {
        return stopped_ || assigned_ >= indices_.size() || assigned_ < consumed_ + window_;
      });
      if (stopped_ || assigned_ >= indices_.size()) return;
      position = assigned_++;
    }
    Decoded result = [&]() -> Decoded {
      try {
        return decode_spectrum(*reader_, indices_[position], choice_, buffers_->take());
      } catch (const std::bad_alloc&) {
        return std::unexpected(std::string("out of memory"));
      } catch (const std::exception& error) {
        return std::unexpected(std::string(error.what()));
      } catch (...) {
        return std::unexpected(std::string("unexpected internal error"));
      }
    }();
    std::lock_guard lock(mutex_);
    if (stopped_) return;  // the lock is released before the result
    ring_[position % window_].emplace(std::move(result));
    if (position == consumed_) result_ready_.notify_one();
  }
}

std::optional<PoolItem> DecodePool::next() {
  std::lock_guard one_consumer(consumer_mutex_);
  std::optional<Decoded> taken;
  std::size_t position = 0;
  {
    std::unique_lock lock(mutex_);
    if (stopped_ || consumed_ >= indices_.size()) return std::nullopt;
    position = consumed_;
    auto& slot = ring_[position % window_];
    result_ready_.wait(lock, [&] { return stopped_ || slot.has_value(); });
    if (stopped_) return std::nullopt;
    taken = std::exchange(slot, std::nullopt);
    ++consumed_;
    if (assigned_ < indices_.size() && assigned_ - consumed_ <= window_ / 2) space_free_.notify_all();
  }
  return PoolItem{indices_[position], std::move(*taken)};
}

bool DecodePool::ready() {
  std::lock_guard lock(mutex_);
  return stopped_ || consumed_ >= indices_.size() || ring_[consumed_ % window_].has_value();
}

void DecodePool::stop() noexcept {
  std::vector<std::optional<Decoded>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    // Nobody touches the ring once stopped_ is set.
    dropped.swap(ring_);
    result_ready_.notify_all();
    space_free_.notify_all();
  }
}

namespace {

// Arrays below this size come from the allocator's small-block lists, which
// keep their memory: nothing to gain from recycling them.
constexpr std::size_t kRecycledBytes = std::size_t{64} << 10;

}  // namespace

PeakBuffers::PeakBuffers(std::size_t capacity) : capacity_(capacity) { spare_.reserve(capacity); }

void PeakBuffers::give(raw::Peaks peaks) noexcept {
  if (peaks.mz.capacity() * sizeof(double) < kRecycledBytes) return;
  // The values stay: a decoder overwrites every one it keeps.
  std::lock_guard lock(mutex_);
  if (spare_.size() < capacity_) spare_.push_back(std::move(peaks));  // reserved: no allocation
}

raw::Peaks PeakBuffers::take() noexcept {
  std::lock_guard lock(mutex_);
  if (spare_.empty()) return {};
  raw::Peaks peaks = std::move(spare_.back());
  spare_.pop_back();
  return peaks;
}

unsigned worker_count(unsigned requested) noexcept {
  if (requested > 0) return requested;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? cores : 1;
}

}  // namespace karvel::python::morvane
