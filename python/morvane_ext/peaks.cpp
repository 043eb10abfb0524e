#include "peaks.hpp"

#include <algorithm>
#include <condition_variable>
#include <system_error>
#include <thread>

#include "pool.hpp"
#include "reader/scan_row.hpp"

namespace karvel::python::morvane {
namespace {

using morvane_core::types::SpectrumRecord;

const std::vector<Field>& peak_fields(bool metadata) {
  static const std::vector<Field> plain = {
      {"spectrum_index", "I"}, {"mz", "g"}, {"intensity", "f"}};
  static const std::vector<Field> full = {
      {"spectrum_index", "I"}, {"scan_id", "I"},    {"ms_level", "C"},
      {"rt", "g"},             {"mz", "g"},         {"intensity", "f"},
      {"precursor_mz", "g", true}, {"polarity", "c"}};
  return metadata ? full : plain;
}

// The columns of one batch while it is filled.
struct BatchBuilder {
  std::vector<std::uint32_t> spectrum_index, scan_id;
  std::vector<std::uint8_t> ms_level, precursor_valid;
  std::vector<double> rt, mz, precursor_mz;
  std::vector<float> intensity;
  std::vector<std::int8_t> polarity;
  std::size_t rows = 0;
  std::size_t precursor_nulls = 0;

  void add(const SpectrumRecord& record, std::size_t begin, std::size_t end, bool metadata) {
    const std::size_t count = end - begin;
    spectrum_index.insert(spectrum_index.end(), count, static_cast<std::uint32_t>(record.index));
    mz.insert(mz.end(), record.mz.begin() + begin, record.mz.begin() + end);
    intensity.insert(intensity.end(), record.intensity.begin() + begin, record.intensity.begin() + end);
    if (metadata) {
      scan_id.insert(scan_id.end(), count, record.scan_number);
      ms_level.insert(ms_level.end(), count, static_cast<std::uint8_t>(std::min(record.ms_level, 255u)));
      rt.insert(rt.end(), count, record.retention_time_sec);
      const auto target = reader::precursor_mz(record.precursor);
      precursor_mz.insert(precursor_mz.end(), count, target.value_or(0.0));
      // One validity bit per row, set when the value is present.
      precursor_valid.resize((rows + count + 7) / 8, 0);
      if (target) {
        for (std::size_t row = rows; row < rows + count; ++row) {
          precursor_valid[row / 8] |= static_cast<std::uint8_t>(1u << (row % 8));
        }
      } else {
        precursor_nulls += count;
      }
      polarity.insert(polarity.end(), count, reader::polarity_sign(record.polarity));
    }
    rows += count;
  }

  Batch finish(bool metadata) {
    Batch batch;
    batch.length = static_cast<std::int64_t>(rows);
    batch.columns.push_back(owned_column(std::move(spectrum_index)));
    if (metadata) {
      batch.columns.push_back(owned_column(std::move(scan_id)));
      batch.columns.push_back(owned_column(std::move(ms_level)));
      batch.columns.push_back(owned_column(std::move(rt)));
    }
    batch.columns.push_back(owned_column(std::move(mz)));
    batch.columns.push_back(owned_column(std::move(intensity)));
    if (metadata) {
      Column precursor = owned_column(std::move(precursor_mz));
      if (precursor_nulls > 0) {
        auto validity = std::make_shared<const std::vector<std::uint8_t>>(std::move(precursor_valid));
        precursor.validity = validity->data();
        precursor.null_count = static_cast<std::int64_t>(precursor_nulls);
        // The column keeps both the values and the bitmap alive.
        precursor.owner = std::make_shared<std::pair<std::shared_ptr<const void>, std::shared_ptr<const void>>>(
            std::move(precursor.owner), std::move(validity));
      }
      batch.columns.push_back(std::move(precursor));
      batch.columns.push_back(owned_column(std::move(polarity)));
    }
    return batch;
  }
};

class PeakSource final : public BatchSource {
 public:
  PeakSource(std::shared_ptr<const reader::Reader> reader, std::vector<std::uint32_t> indices,
             PeakOptions options)
      : reader_(std::move(reader)), indices_(std::move(indices)), options_(options) {}

  const std::vector<Field>& fields() const override { return peak_fields(options_.metadata); }

  Result<std::optional<Batch>> next() override {
    if (pending_error_) return std::unexpected(*std::exchange(pending_error_, std::nullopt));
    if (!pool_) {
      auto started = DecodePool::start(reader_, indices_, options_.choice, options_.threads,
                                        options_.centroid);
      if (!started) return std::unexpected(std::move(started.error()));
      pool_ = std::move(*started);
      if (options_.skipped) options_.skipped->clear();
    }
    BatchBuilder builder;
    const std::size_t limit = options_.batch_rows;
    for (;;) {
      if (!pending_) {
        auto item = pool_->next();
        if (!item) break;
        if (!item->result) {
          if (options_.skip_errors) {
            if (options_.skipped) options_.skipped->add(item->index, std::move(item->result.error()));
            continue;
          }
          if (builder.rows == 0) return std::unexpected(std::move(item->result.error()));
          pending_error_ = std::move(item->result.error());  // after this batch
          break;
        }
        pending_ = std::move(*item->result);
        offset_ = 0;
      }
      const std::size_t left = pending_->mz.size() - offset_;
      if (builder.rows + left <= limit) {
        builder.add(*pending_, offset_, pending_->mz.size(), options_.metadata);
        pool_->recycle(std::move(*pending_));
        pending_.reset();
        continue;
      }
      if (builder.rows > 0) break;  // starts the next batch
      // Alone larger than a batch: split it.
      builder.add(*pending_, offset_, offset_ + limit, options_.metadata);
      offset_ += limit;
      break;
    }
    if (builder.rows == 0 && !pending_) {
      if (pending_error_) return std::unexpected(*std::exchange(pending_error_, std::nullopt));
      return std::optional<Batch>();
    }
    return std::optional<Batch>(builder.finish(options_.metadata));
  }

 private:
  std::shared_ptr<const reader::Reader> reader_;
  std::vector<std::uint32_t> indices_;
  PeakOptions options_;
  std::unique_ptr<DecodePool> pool_;  // its workers stop when the source is released
  std::optional<SpectrumRecord> pending_;
  std::size_t offset_ = 0;
  std::optional<Error> pending_error_;  // reported after the batch before it
};

// One batch ahead: while the consumer holds a batch (writing it, mostly),
// the next is gathered on a thread of the stream's own, so that the workers
// are not idle while the consumer writes. Stopped and joined with the
// source, after at most the batch in hand.
class ReadAheadSource final : public BatchSource {
 public:
  explicit ReadAheadSource(std::unique_ptr<BatchSource> inner) : inner_(std::move(inner)) {}
  ReadAheadSource(const ReadAheadSource&) = delete;
  ReadAheadSource& operator=(const ReadAheadSource&) = delete;

  ~ReadAheadSource() override {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  const std::vector<Field>& fields() const override { return inner_->fields(); }

  Result<std::optional<Batch>> next() override {
    if (ended_) return std::optional<Batch>();
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { produce(); });
      } catch (const std::system_error&) {
        return inner_->next();  // no thread to be had: gathered here
      }
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slot_.has_value(); });
    Result<std::optional<Batch>> batch = std::move(*slot_);
    slot_.reset();
    lock.unlock();
    changed_.notify_all();
    ended_ = !batch || !*batch;
    return batch;
  }

 private:
  Result<std::optional<Batch>> gathered() noexcept {
    try {
      return inner_->next();
    } catch (...) {
      return std::unexpected(Error::of_current_exception());
    }
  }

  void produce() noexcept {
    for (bool last = false; !last;) {
      Result<std::optional<Batch>> batch = gathered();
      last = !batch || !*batch;
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stop_ || !slot_.has_value(); });
      if (stop_) return;
      slot_.emplace(std::move(batch));
      lock.unlock();
      changed_.notify_all();
    }
  }

  std::unique_ptr<BatchSource> inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<Result<std::optional<Batch>>> slot_;  // the batch gathered ahead
  bool stop_ = false;
  bool ended_ = false;  // the consumer has had the end or an error
  std::thread thread_;  // last: started after, and joined before, the rest goes
};

}  // namespace

std::unique_ptr<BatchSource> peak_source(std::shared_ptr<const reader::Reader> reader,
                                         std::vector<std::uint32_t> indices, PeakOptions options) {
  const unsigned threads = options.threads;
  auto source = std::make_unique<PeakSource>(std::move(reader), std::move(indices), options);
  if (threads <= 1) return source;  // one thread: everything in the caller's
  return std::make_unique<ReadAheadSource>(std::move(source));
}

}  // namespace karvel::python::morvane
