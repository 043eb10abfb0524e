#include "chromatograms.hpp"

#include "pool.hpp"
#include "reader/ms1_chromatograms.hpp"

namespace karvel::python::morvane {

Result<Traces> extracted_ion_traces(std::shared_ptr<const reader::Reader> reader,
                                    std::vector<std::uint32_t> indices, const reader::MzWindows& windows,
                                    reader::BlockChoice choice, reader::CentroidOptions centroid,
                                    unsigned threads) {
  const std::size_t spectra = indices.size();
  Traces traces;
  traces.rt.reserve(spectra);
  traces.values.resize(windows.size() * spectra);
  auto started = DecodePool::start(std::move(reader), std::move(indices), choice, threads, centroid);
  if (!started) return std::unexpected(std::move(started.error()));
  DecodePool& pool = **started;
  std::size_t column = 0;
  while (auto item = pool.next()) {
    if (!item->result) return std::unexpected(std::move(item->result.error()));
    const auto& spectrum = *item->result;
    if (windows.size() != 0) windows.sum(spectrum.mz, spectrum.intensity, traces.values.data() + column, spectra);
    traces.rt.push_back(spectrum.retention_time_sec);
    pool.recycle(std::move(*item->result));
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
