#include "chromatograms.hpp"

#include <algorithm>
#include <cstdint>
#include <new>

#include "pool.hpp"
#include "support/ordered_pool.hpp"
#include "reader/ms1_chromatograms.hpp"

namespace karvel::python::morvane {

Result<Traces> extracted_ion_traces(std::shared_ptr<const reader::Reader> reader,
                                    std::vector<std::uint32_t> indices, const reader::MzWindows& windows,
                                    reader::BlockChoice choice, reader::CentroidOptions centroid,
                                    unsigned threads, std::vector<std::pair<std::uint32_t, Error>>* failures) {
  // Only the sums are made (no spectrum records; a block of stored pairs
  // is summed without decoding it), each worker summing the spectra it
  // reads: the times come from the scan table.
  using SumsPool = OrderedPool<char>;
  const std::size_t spectra = indices.size();
  const auto& records = reader->scan().records;
  Traces traces;
  traces.rt.reserve(spectra);
  for (const std::uint32_t index : indices) traces.rt.push_back(reader::ScanRow(records[index]).rt_sec());
  // Left uninitialised: every value is written once, by the worker that
  // decodes its spectrum (a fresh page is first touched there too).
  const std::size_t targets = windows.size();
  if (spectra != 0 && targets > SIZE_MAX / sizeof(double) / spectra) return std::unexpected(Error::out_of_memory());
  traces.values = std::shared_ptr<double[]>(new (std::nothrow) double[targets * spectra]);
  if (!traces.values) return std::unexpected(Error::out_of_memory());
  double* const sums = traces.values.get();
  const std::size_t grain = SumsPool::grain_for(reader->stored_points(indices, choice), spectra);
  if (threads > 1 && grain == SumsPool::kMaxGrain) threads = 1;
  const std::size_t workers = std::max<std::size_t>(SumsPool::worker_count(spectra, threads), 1);
  const reader::RunFiles files = reader->open_files();
  std::vector<reader::BlockReaders> readers;
  readers.reserve(workers);
  for (std::size_t i = 0; i < workers; ++i) readers.emplace_back(files);
  std::vector<raw::Peaks> spare(workers);  // each worker's arrays, reused
  // Declared after what its workers use, so it stops and joins them first.
  auto pool = SumsPool::start(
      spectra, threads,
      [&](std::size_t position, std::size_t worker) -> Result<char> {
        auto summed = reader->window_sums(indices[position], choice, windows, sums + position * targets, 1,
                                          spare[worker], &readers[worker], centroid);
        if (!summed) return std::unexpected(std::move(summed.error()));
        return char{1};
      },
      grain);
  if (!pool) return std::unexpected(std::move(pool.error()));
  // A spectrum that fails is left out (with failures) as it comes: the
  // kept ones move up over it, so one pass gives the traces of the rest.
  // Items come out after their work is done, so the columns moved are
  // final, and the column moved over is one handed out already.
  std::size_t kept = 0;
  for (std::size_t position = 0; auto item = (*pool)->next(); ++position) {
    if (!*item) {
      if (failures == nullptr) return std::unexpected(std::move(item->error()));
      failures->emplace_back(indices[position], std::move(item->error()));
      continue;
    }
    if (kept != position) {
      traces.rt[kept] = traces.rt[position];
      std::copy_n(sums + position * targets, targets, sums + kept * targets);
    }
    ++kept;
  }
  traces.rt.resize(kept);
  traces.count = kept * targets;
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
