#include "reader/ms1_chromatograms.hpp"

#include <algorithm>

namespace karvel::reader {

std::optional<Ms1Point> ms1_point(const morvane_core::types::SpectrumRecord& spectrum) {
  if (!is_ms1(spectrum.ms_level)) return std::nullopt;
  const auto base_peak = morvane_core::types::effective_base_peak(spectrum);
  return Ms1Point{spectrum.retention_time_sec, morvane_core::types::effective_tic(spectrum),
                  base_peak ? base_peak->second : 0.0};
}

std::optional<Ms1Point> reported_ms1_point(const ScanRow& row) {
  const auto& record = row.record();
  if (!row.is_ms1() || !record.tic || !record.base_peak_mz || !record.base_peak_intensity) {
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

Ms1Pass::Ms1Pass(const raw::msscan::MSScan& scan, std::span<const std::uint32_t> skipped) {
  std::vector<std::uint32_t> left_out(skipped.begin(), skipped.end());
  std::sort(left_out.begin(), left_out.end());
  const auto& records = scan.records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ScanRow row(records[i]);
    if (!row.is_ms1()) continue;
    if (std::binary_search(left_out.begin(), left_out.end(), i)) continue;
    if (auto reported = reported_ms1_point(row)) {
      points_.add(*reported);
    } else {
      slots_.push_back(points_.add(Ms1Point{row.rt_sec(), 0.0, 0.0}));
      to_decode_.push_back(static_cast<std::uint32_t>(i));
    }
  }
}

void Ms1Pass::fill(std::size_t k, const morvane_core::types::SpectrumRecord& spectrum) {
  if (k >= slots_.size()) return;
  if (auto point = ms1_point(spectrum)) points_.set(slots_[k], *point);
}

void Ms1Pass::drop(std::size_t k) {
  if (k < slots_.size()) dropped_.push_back(slots_[k]);
}

Ms1Chromatograms Ms1Pass::take() && {
  if (dropped_.empty()) return std::move(points_);
  std::sort(dropped_.begin(), dropped_.end());
  Ms1Chromatograms kept;
  for (std::size_t i = 0, next = 0; i < points_.size(); ++i) {
    if (next < dropped_.size() && dropped_[next] == i) {
      while (next < dropped_.size() && dropped_[next] == i) ++next;
      continue;
    }
    kept.add(Ms1Point{points_.time_sec[i], points_.total_ion_current[i], points_.base_peak_intensity[i]});
  }
  return kept;
}

std::vector<float> narrowed(const std::vector<double>& values) {
  return std::vector<float>(values.begin(), values.end());
}

}  // namespace karvel::reader
