#include "export/encode_pipeline.hpp"

#include <algorithm>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <utility>

namespace karvel::exporter {
namespace {

// More workers than this only cost memory.
constexpr unsigned kMaxWorkers = 64;
constexpr std::size_t kWindowPerWorker = 2;

}  // namespace

EncodePipeline::EncodePipeline(std::shared_ptr<const reader::Reader> reader,
                               std::span<const std::size_t> positions, EncodeSettings settings,
                               std::size_t window)
    : reader_(std::move(reader)),
      positions_(positions),
      settings_(settings),
      window_(window),
      ring_(window) {}

Result<std::unique_ptr<EncodePipeline>> EncodePipeline::start(std::shared_ptr<const reader::Reader> reader,
                                                              std::span<const std::size_t> positions,
                                                              EncodeSettings settings) {
  const std::size_t workers = settings.threads <= 1
                                  ? 0
                                  : std::min<std::size_t>(std::min(settings.threads, kMaxWorkers),
                                                          positions.size());
  std::vector<BinaryArrayWriter> arrays;
  for (std::size_t i = 0; i < std::max<std::size_t>(workers, 1); ++i) {
    auto made = BinaryArrayWriter::create(settings.zlib, settings.numpress);
    if (!made) return std::unexpected(std::move(made.error()));
    arrays.push_back(std::move(*made));
  }
  std::unique_ptr<EncodePipeline> pipeline(
      new EncodePipeline(std::move(reader), positions, settings, kWindowPerWorker * workers));
  if (workers == 0) {
    pipeline->inline_arrays_.emplace(std::move(arrays.front()));
    return pipeline;
  }
  pipeline->workers_.reserve(workers);
  try {
    for (BinaryArrayWriter& own : arrays) {
      pipeline->workers_.emplace_back([raw = pipeline.get(), own = std::move(own)]() mutable {
        raw->work(std::move(own));
      });
    }
  } catch (const std::system_error& error) {
    // The destructor stops and joins the workers already started.
    return std::unexpected(Error::io_other(std::string("cannot start an mzML worker thread: ") + error.what()));
  }
  return pipeline;
}

EncodePipeline::~EncodePipeline() {
  stop();
  for (std::thread& worker : workers_) worker.join();
}

void EncodePipeline::stop() noexcept {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  space_free_.notify_all();
}

Result<EncodedSpectrum> EncodePipeline::encode(std::size_t position, BinaryArrayWriter& arrays) const noexcept {
  try {
    return encode_spectrum(*reader_, positions_[position], position, settings_.mode,
                           settings_.intensity_bits, arrays);
  } catch (const std::bad_alloc&) {
    return std::unexpected(Error::io_other("out of memory"));
  } catch (const std::exception& error) {
    return std::unexpected(Error::io_other(error.what()));
  } catch (...) {
    return std::unexpected(Error::io_other("unexpected internal error"));
  }
}

void EncodePipeline::work(BinaryArrayWriter arrays) noexcept {
  for (;;) {
    std::size_t position = 0;
    {
      std::unique_lock lock(mutex_);
      space_free_.wait(lock, [&] {
        return stopping_ || assigned_ >= positions_.size() || assigned_ < consumed_ + window_;
      });
      if (stopping_ || assigned_ >= positions_.size()) return;
      position = assigned_++;
    }
    Result<EncodedSpectrum> result = encode(position, arrays);
    std::lock_guard lock(mutex_);
    ring_[position % window_].emplace(std::move(result));
    if (position == consumed_) result_ready_.notify_one();
  }
}

Result<EncodedSpectrum> EncodePipeline::next() {
  if (window_ == 0) return encode(consumed_++, *inline_arrays_);
  std::optional<Result<EncodedSpectrum>> taken;
  {
    std::unique_lock lock(mutex_);
    auto& slot = ring_[consumed_ % window_];
    result_ready_.wait(lock, [&] { return slot.has_value(); });
    taken = std::exchange(slot, std::nullopt);
    ++consumed_;
    space_free_.notify_one();
  }
  return std::move(*taken);
}

}  // namespace karvel::exporter
