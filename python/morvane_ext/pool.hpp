// Spectra decoded ahead on the library's ordered pool
// (support/ordered_pool.hpp), handed out in the order of the requested
// indices. Workers never touch Python objects; the pool keeps the reader
// alive through its own shared pointer and its destructor joins them.
//
// Large arrays are recycled: the memory of spectra the consumer is done with
// (PeakBuffers::give) is what the workers decode the next ones into. Fresh
// allocations of arrays that size would come from the workers' malloc arenas,
// which hand freed memory back to the kernel and fault it in again, zeroed,
// page by page: with two workers that cost more than the decoding.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "morvane_core/types.hpp"
#include "raw/peaks.hpp"
#include "reader/reader.hpp"
#include "support/ordered_pool.hpp"

namespace karvel::python::morvane {

using reader::BlockChoice;

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
  Result<morvane_core::types::SpectrumRecord> result;
};

class DecodePool {
 public:
  // threads: as OrderedPool (1: decoded in the caller's thread by next()); a
  // pass over spectra of a few points each always decodes there.
  static Result<std::unique_ptr<DecodePool>> start(std::shared_ptr<const reader::Reader> reader,
                                                   std::vector<std::uint32_t> indices, BlockChoice choice,
                                                   unsigned threads,
                                                   reader::CentroidOptions centroid = {});

  // The next result in index order, nothing after the last or once stopped.
  // Blocks while it is being decoded: call it without the interpreter lock.
  std::optional<PoolItem> next();
  // True when next() would return at once (a result is there, or the end).
  bool ready() { return pool_->ready(); }
  // Ends the workers after the spectrum each has in hand and drops every
  // waiting result. Later next() calls return nothing.
  void stop() noexcept { pool_->stop(); }

  std::size_t size() const noexcept { return indices_.size(); }
  // Where the arrays of handed-out spectra go back to once unused.
  const std::shared_ptr<PeakBuffers>& buffers() const noexcept { return buffers_; }
  // Hands the arrays of a spectrum the caller is done with to the workers.
  void recycle(morvane_core::types::SpectrumRecord&& spent) noexcept {
    buffers_->give(raw::Peaks{std::move(spent.mz), std::move(spent.intensity)});
  }

 private:
  DecodePool(std::shared_ptr<const reader::Reader> reader, std::vector<std::uint32_t> indices,
             BlockChoice choice, reader::CentroidOptions centroid, std::size_t buffers);

  const std::shared_ptr<const reader::Reader> reader_;
  const std::vector<std::uint32_t> indices_;
  const BlockChoice choice_;
  const reader::CentroidOptions centroid_;
  const std::shared_ptr<PeakBuffers> buffers_;
  std::vector<reader::BlockReaders> readers_;  // one per worker, each used by its worker only
  std::mutex consumer_mutex_;
  std::size_t taken_ = 0;  // positions handed out by next()
  std::unique_ptr<OrderedPool<morvane_core::types::SpectrumRecord>> pool_;  // last: joined first
};

}  // namespace karvel::python::morvane
