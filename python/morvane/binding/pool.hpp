// Decoding ahead on worker threads, results handed out in the order of the
// requested indices. At most `window` spectra are decoded or waiting at any
// moment, so memory does not grow with the run. Waiting workers are woken
// only once half the window has been taken, so that they and the consumer
// do not hand the processor back and forth for every spectrum. Workers never touch Python
// objects; each keeps the reader alive through its own shared pointer.
//
// Large arrays are recycled: the memory of spectra the consumer is done with
// (PeakBuffers::give) is what the workers decode the next ones into. Fresh
// allocations of arrays that size would come from the workers' malloc arenas,
// which hand freed memory back to the kernel and fault it in again, zeroed,
// page by page: with two workers that cost more than the decoding.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "decode.hpp"
#include "raw/peaks.hpp"
#include "reader/reader.hpp"

namespace karvel::python::morvane {

// Spare m/z and intensity lists, at most a fixed number; thread-safe.
class PeakBuffers {
 public:
  explicit PeakBuffers(std::size_t capacity);
  // Keeps the lists when they are large enough to be worth it and there is
  // room; frees them otherwise. Never allocates.
  void give(raw::Peaks peaks) noexcept;
  // A spare pair, or empty lists.
  raw::Peaks take() noexcept;

 private:
  std::mutex mutex_;
  const std::size_t capacity_;
  std::vector<raw::Peaks> spare_;
};

struct PoolItem {
  std::uint32_t index = 0;
  Decoded result;
};

class DecodePool : public std::enable_shared_from_this<DecodePool> {
 public:
  // Starts min(threads, 64, indices) detached workers (at least one when
  // there is anything to decode). Throws std::system_error when a thread cannot
  // be started; the workers already started then stop.
  static std::shared_ptr<DecodePool> start(std::shared_ptr<const reader::Reader> reader,
                                           std::vector<std::uint32_t> indices, BlockChoice choice,
                                           unsigned threads);
  ~DecodePool();

  // The next result in index order, nothing after the last. Blocks while it
  // is being decoded: call it without the interpreter lock.
  std::optional<PoolItem> next();
  // True when next() would return at once (a result is there, or the end).
  bool ready();
  // Ends the workers after the spectrum each has in hand and drops every
  // waiting result. Later next() calls return nothing.
  void stop() noexcept;

  std::size_t size() const noexcept { return indices_.size(); }
  // Where the arrays of handed-out spectra go back to once unused.
  const std::shared_ptr<PeakBuffers>& buffers() const noexcept { return buffers_; }
  // Hands the arrays of a spectrum the caller is done with to the workers.
  void recycle(morvane_core::types::SpectrumRecord&& spent) noexcept {
    buffers_->give(raw::Peaks{std::move(spent.mz), std::move(spent.intensity)});
  }

 private:
  DecodePool(std::shared_ptr<const reader::Reader> reader, std::vector<std::uint32_t> indices,
             BlockChoice choice, std::size_t window);
  void work() noexcept;

  const std::shared_ptr<const reader::Reader> reader_;
  const std::vector<std::uint32_t> indices_;
  const BlockChoice choice_;
  const std::size_t window_;
  const std::shared_ptr<PeakBuffers> buffers_;

  std::mutex consumer_mutex_;  // one caller of next() at a time
  std::mutex mutex_;
  std::condition_variable result_ready_;  // the consumer waits here
  std::condition_variable space_free_;    // workers wait here
  std::vector<std::optional<Decoded>> ring_;  // position p in slot p % window
  std::size_t assigned_ = 0;                  // next position a worker takes
  std::size_t consumed_ = 0;                  // next position next() hands out
  bool stopped_ = false;
};

// The number of threads to use for `requested` (0: the available cores).
unsigned worker_count(unsigned requested) noexcept;

}  // namespace karvel::python::morvane
