#include "chromatograms.hpp"

#include "pool.hpp"

namespace karvel::python::morvane {

std::expected<Trace, std::string> extracted_ion_trace(std::shared_ptr<const reader::Reader> reader,
                                                      std::vector<std::uint32_t> indices,
                                                      double low, double high, unsigned threads) {
  Trace trace;
  trace.rt.reserve(indices.size());
  trace.intensity.reserve(indices.size());
  auto pool = DecodePool::start(std::move(reader), std::move(indices), Mode::Auto, threads);
  while (auto item = pool->next()) {
    if (!item->result) {
      pool->stop();
      return std::unexpected(std::move(item->result.error()));
    }
    const auto& spectrum = *item->result;
    double sum = 0.0;
    for (std::size_t i = 0; i < spectrum.mz.size(); ++i) {
      const double mz = spectrum.mz[i];
      if (mz >= low && mz <= high) sum += spectrum.intensity[i];
    }
    trace.rt.push_back(spectrum.retention_time_sec);
    trace.intensity.push_back(sum);
    pool->recycle(std::move(*item->result));
  }
  return trace;
}

std::expected<MS1Chromatograms, std::string> ms1_chromatograms(
    std::shared_ptr<const reader::Reader> reader, unsigned threads) {
  const auto& records = reader->scan().records;
  MS1Chromatograms result;
  std::vector<std::uint32_t> to_decode;
  std::vector<std::size_t> slots;  // where each decoded spectrum's values go
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    if (r.ms_level != 1) continue;
    result.rt.push_back(r.retention_time_min * 60.0);
    if (r.tic && r.base_peak_mz && r.base_peak_intensity) {
      result.tic.push_back(*r.tic);
      result.base_peak.push_back(*r.base_peak_intensity);
    } else {
      slots.push_back(result.tic.size());
      to_decode.push_back(static_cast<std::uint32_t>(i));
      result.tic.push_back(0.0);
      result.base_peak.push_back(0.0);
    }
  }
  if (to_decode.empty()) return result;
  auto pool = DecodePool::start(std::move(reader), std::move(to_decode), Mode::Auto, threads);
  std::size_t k = 0;
  while (auto item = pool->next()) {
    if (!item->result) {
      pool->stop();
      return std::unexpected(std::move(item->result.error()));
    }
    const auto& spectrum = *item->result;
    const auto peak = morvane_core::types::effective_base_peak(spectrum);
    result.tic[slots[k]] = morvane_core::types::effective_tic(spectrum);
    result.base_peak[slots[k]] = peak ? static_cast<double>(peak->second) : 0.0;
    pool->recycle(std::move(*item->result));
    ++k;
  }
  return result;
}

}  // namespace karvel::python::morvane
