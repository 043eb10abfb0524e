#include "pool.hpp"

#include <algorithm>

namespace karvel::python::morvane {

using Pool = OrderedPool<morvane_core::types::SpectrumRecord>;

DecodePool::DecodePool(std::shared_ptr<const reader::Reader> reader, std::vector<std::uint32_t> indices,
                       BlockChoice choice, reader::CentroidOptions centroid, std::size_t buffers)
    : reader_(std::move(reader)),
      indices_(std::move(indices)),
      choice_(choice),
      centroid_(centroid),
      buffers_(std::make_shared<PeakBuffers>(buffers)) {}

Result<std::unique_ptr<DecodePool>> DecodePool::start(std::shared_ptr<const reader::Reader> reader,
                                                      std::vector<std::uint32_t> indices, BlockChoice choice,
                                                      unsigned threads, reader::CentroidOptions centroid) {
  // Spectra of a few points each cost less to decode than their consumer
  // spends making each one an object: the pool decodes them in the calling
  // thread.
  const std::uint64_t points = reader->stored_points(indices, choice);
  const std::size_t grain = Pool::grain_for(points, indices.size());
  threads = Pool::threads_for(points, indices.size(), threads);
  // As many spare arrays as results the pool may hold at once.
  const std::size_t workers = std::max<std::size_t>(Pool::worker_count(indices.size(), threads), 1);
  std::unique_ptr<DecodePool> decoder(
      new DecodePool(std::move(reader), std::move(indices), choice, centroid, Pool::kWindowPerWorker * workers));
  DecodePool* raw = decoder.get();
  // The pass reads its blocks through the run's files opened once.
  const reader::RunFiles files = raw->reader_->open_files();
  raw->readers_.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) raw->readers_.emplace_back(files);
  auto pool = Pool::start(
      raw->indices_.size(), threads,
      [raw](std::size_t position, std::size_t worker) {
        return raw->reader_->spectrum(raw->indices_[position], raw->choice_, raw->buffers_->take(),
                                      &raw->readers_[worker], raw->centroid_, reader::Extra::Skip);
      },
      grain);
  if (!pool) return std::unexpected(std::move(pool.error()));
  decoder->pool_ = std::move(*pool);
  return decoder;
}

std::optional<PoolItem> DecodePool::next() {
  std::lock_guard lock(consumer_mutex_);
  auto result = pool_->next();
  if (!result) return std::nullopt;
  return PoolItem{indices_[taken_++], std::move(*result)};
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

}  // namespace karvel::python::morvane
