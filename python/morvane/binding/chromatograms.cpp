#include "chromatograms.hpp"

#include "pool.hpp"
#include "support/ordered_pool.hpp"
#include "reader/ms1_chromatograms.hpp"

namespace karvel::python::morvane {

Result<Traces> extracted_ion_traces(std::shared_ptr<const reader::Reader> reader,
                                    std::vector<std::uint32_t> indices, const reader::MzWindows& windows,
                                    reader::BlockChoice choice, reader::CentroidOptions centroid,
                                    unsigned threads) {
  // Only the points are decoded (no spectrum records): the sums need
  // nothing else, and the times come from the scan table.
  using PointsPool = OrderedPool<reader::ScanPoints>;
  const std::size_t spectra = indices.size();
  const auto& records = reader->scan().records;
  Traces traces;
  traces.rt.reserve(spectra);
  for (const std::uint32_t index : indices) traces.rt.push_back(reader::ScanRow(records[index]).rt_sec());
  traces.values.resize(windows.size() * spectra);
  const std::size_t grain = PointsPool::grain_for(reader->stored_points(indices, choice), spectra);
  if (threads > 1 && grain == PointsPool::kMaxGrain) threads = 1;
  const std::size_t workers = std::max<std::size_t>(PointsPool::worker_count(spectra, threads), 1);
  const reader::RunFiles files = reader->open_files();
  std::vector<reader::BlockReaders> readers;
  readers.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) readers.emplace_back(files);
  PeakBuffers buffers(PointsPool::kWindowPerWorker * workers);
  // Declared after what its workers use, so it stops and joins them first.
  auto pool = PointsPool::start(
      spectra, threads,
      [&](std::size_t position, std::size_t worker) {
        return reader->points(indices[position], choice, buffers.take(), &readers[worker], centroid);
      },
      grain);
  if (!pool) return std::unexpected(std::move(pool.error()));
  std::size_t column = 0;
  while (auto item = (*pool)->next()) {
    if (!*item) return std::unexpected(std::move(item->error()));
    raw::Peaks& peaks = (*item)->peaks;
    if (windows.size() != 0) windows.sum(peaks.mz, peaks.intensity, traces.values.data() + column, spectra);
    buffers.give(std::move(peaks));
    ++column;
  }
  return traces;
}

Result<MS1Chromatograms> ms1_chromatograms(std::shared_ptr<const reader::Reader> reader, unsigned threads,
                                           std::span<const std::uint32_t> skipped,
                                           std::vector<std::pair<std::uint32_t, Error>>* failures) {
  reader::Ms1Pass pass(reader->scan(), skipped);
  if (!pass.to_decode().empty()) {
    auto started = DecodePool::start(std::move(reader), pass.to_decode(), BlockChoice::Auto, threads);
    if (!started) return std::unexpected(std::move(started.error()));
    DecodePool& pool = **started;
    std::size_t k = 0;
    while (auto item = pool.next()) {
      if (!item->result) {
        if (failures == nullptr) return std::unexpected(std::move(item->result.error()));
        failures->emplace_back(pass.to_decode()[k], std::move(item->result.error()));
        pass.drop(k++);
        continue;
      }
      pass.fill(k++, *item->result);
      pool.recycle(std::move(*item->result));
    }
  }
  auto points = std::move(pass).take();
  return MS1Chromatograms{std::move(points.time_sec), std::move(points.total_ion_current),
                          std::move(points.base_peak_intensity)};
}

}  // namespace karvel::python::morvane
