#include "reader/ms1_chromatograms.hpp"

namespace karvel::reader {

std::optional<Ms1Point> ms1_point(const morvane_core::types::SpectrumRecord& spectrum) {
  if (spectrum.ms_level != 1) return std::nullopt;
  const auto base_peak = morvane_core::types::effective_base_peak(spectrum);
  return Ms1Point{spectrum.retention_time_sec, morvane_core::types::effective_tic(spectrum),
                  base_peak ? base_peak->second : 0.0};
}

std::optional<Ms1Point> reported_ms1_point(const ScanRow& row) {
  const auto& record = row.record();
  if (row.ms_level() != 1 || !record.tic || !record.base_peak_mz || !record.base_peak_intensity) {
    return std::nullopt;
  }
  return Ms1Point{row.rt_sec(), *record.tic, *record.base_peak_intensity};
}

std::size_t Ms1Chromatograms::add(const Ms1Point& point) {
  time_sec.push_back(point.time_sec);
  total_ion_current.push_back(point.total_ion_current);
  base_peak_intensity.push_back(point.base_peak_intensity);
  return time_sec.size() - 1;
}

void Ms1Chromatograms::set(std::size_t position, const Ms1Point& point) {
  time_sec[position] = point.time_sec;
  total_ion_current[position] = point.total_ion_current;
  base_peak_intensity[position] = point.base_peak_intensity;
}

std::vector<float> narrowed(const std::vector<double>& values) {
  return std::vector<float>(values.begin(), values.end());
}

}  // namespace karvel::reader
