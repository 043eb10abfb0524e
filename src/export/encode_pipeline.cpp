#include "export/encode_pipeline.hpp"

#include <algorithm>
#include <utility>

namespace karvel::exporter {

EncodePipeline::EncodePipeline(std::shared_ptr<const reader::Reader> reader,
                               std::span<const std::size_t> positions, EncodeSettings settings,
                               std::vector<BinaryArrayWriter> arrays)
    : reader_(std::move(reader)), positions_(positions), settings_(settings), arrays_(std::move(arrays)) {}

Result<std::unique_ptr<EncodePipeline>> EncodePipeline::start(std::shared_ptr<const reader::Reader> reader,
                                                              std::span<const std::size_t> positions,
                                                              EncodeSettings settings) {
  const std::size_t workers = OrderedPool<EncodedSpectrum>::worker_count(positions.size(), settings.threads);
  std::vector<BinaryArrayWriter> arrays;
  for (std::size_t i = 0; i < std::max<std::size_t>(workers, 1); ++i) {
    auto made = BinaryArrayWriter::create(settings.zlib, settings.numpress);
    if (!made) return std::unexpected(std::move(made.error()));
    arrays.push_back(std::move(*made));
  }
  std::unique_ptr<EncodePipeline> pipeline(
      new EncodePipeline(std::move(reader), positions, settings, std::move(arrays)));
  EncodePipeline* raw = pipeline.get();
  // The pass reads its blocks through the run's files opened once.
  const reader::RunFiles files = raw->reader_->open_files();
  raw->readers_.reserve(raw->arrays_.size());
  for (std::size_t i = 0; i < raw->arrays_.size(); ++i) raw->readers_.emplace_back(files);
  using Pool = OrderedPool<EncodedSpectrum>;
  const std::size_t grain =
      Pool::grain_for(raw->reader_->stored_points(positions, settings.choice), positions.size());
  auto pool = Pool::start(
      positions.size(), settings.threads,
      [raw](std::size_t position, std::size_t worker) {
        return encode_spectrum(*raw->reader_, raw->positions_[position], position, raw->settings_.choice,
                               raw->settings_.intensity_bits, raw->arrays_[worker], &raw->readers_[worker],
                               raw->settings_.centroid);
      },
      grain);
  if (!pool) return std::unexpected(std::move(pool.error()));
  pipeline->pool_ = std::move(*pool);
  return pipeline;
}

Result<EncodedSpectrum> EncodePipeline::next() {
  auto item = pool_->next();
  if (!item) return std::unexpected(Error::internal("no spectrum left to encode"));
  return std::move(*item);
}

}  // namespace karvel::exporter
