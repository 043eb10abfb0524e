#include "pool.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <thread>

namespace karvel::python::morvane {

DecodePool::DecodePool(std::shared_ptr<const reader::Reader> reader,
                       std::vector<std::uint32_t> indices, Mode mode, std::size_t window)
    : reader_(std::move(reader)),
      indices_(std::move(indices)),
      mode_(mode),
      window_(window),
      ring_(window) {}

DecodePool::~DecodePool() = default;

std::shared_ptr<DecodePool> DecodePool::start(std::shared_ptr<const reader::Reader> reader,
                                              std::vector<std::uint32_t> indices, Mode mode,
                                              unsigned threads) {
  const std::size_t workers = std::min<std::size_t>(std::max(threads, 1u), std::max<std::size_t>(indices.size(), 1));
  // Two per worker: one being decoded, one ready for the consumer.
  const std::size_t window = 2 * workers;
  std::shared_ptr<DecodePool> pool(new DecodePool(std::move(reader), std::move(indices), mode, window));
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
      changed_.wait(lock, [&] {
        return stopped_ || assigned_ >= indices_.size() || assigned_ < consumed_ + window_;
      });
      if (stopped_ || assigned_ >= indices_.size()) return;
      position = assigned_++;
    }
    Decoded result = [&]() -> Decoded {
      try {
        return decode_spectrum(*reader_, indices_[position], mode_);
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
    changed_.notify_all();
  }
}

std::optional<PoolItem> DecodePool::next() {
  std::optional<Decoded> taken;
  std::size_t position = 0;
  {
    std::unique_lock lock(mutex_);
    if (stopped_ || consumed_ >= indices_.size()) return std::nullopt;
    position = consumed_;
    auto& slot = ring_[position % window_];
    changed_.wait(lock, [&] { return stopped_ || slot.has_value(); });
    if (stopped_) return std::nullopt;
    taken = std::exchange(slot, std::nullopt);
    ++consumed_;
    changed_.notify_all();
  }
  return PoolItem{indices_[position], std::move(*taken)};
}

void DecodePool::stop() noexcept {
  std::vector<std::optional<Decoded>> dropped;
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    // Nobody touches the ring once stopped_ is set.
    dropped.swap(ring_);
    changed_.notify_all();
  }
}

unsigned worker_count(unsigned requested) noexcept {
  if (requested > 0) return requested;
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 0 ? cores : 1;
}

}  // namespace karvel::python::morvane
