#include "transitions.hpp"

#include <limits>

namespace karvel::python::morvane {

bool is_mrm_scan(const reader::ScanRecord& record) noexcept {
  return record.mrm_channel_id.has_value() && reader::ScanRow(record).has_precursor();
}

Result<TransitionColumns> mrm_transitions(const reader::Reader& reader, const std::vector<std::uint32_t>& indices,
                                          std::vector<std::pair<std::uint32_t, Error>>* failures) {
  const auto& records = reader.scan().records;
  TransitionColumns columns;
  // An MRM scan holds a point or a few: room for one each, without a pass
  // over the scan records to count them first.
  const std::size_t expected = indices.size();
  for (auto* column : {&columns.spectrum_index, &columns.channel}) column->reserve(expected);
  for (auto* column : {&columns.rt, &columns.mz, &columns.collision_energy}) column->reserve(expected);
  columns.intensity.reserve(expected);
  columns.polarity.reserve(expected);
  reader::BlockReaders readers(reader.open_files());
  raw::Peaks spare;
  for (const std::uint32_t index : indices) {
    if (index >= records.size()) return parse_error("spectrum index out of range");
    const auto& record = records[index];
    if (!is_mrm_scan(record)) continue;
    auto points = reader.points(index, reader::BlockChoice::Auto, std::move(spare), &readers);
    if (!points) {
      if (failures == nullptr) return std::unexpected(std::move(points.error()));
      failures->emplace_back(index, std::move(points.error()));
      continue;
    }
    const reader::ScanRow row(record);
    const double rt = row.rt_sec();
    const double energy = row.collision_energy().value_or(std::numeric_limits<double>::quiet_NaN());
    const std::int8_t polarity = row.polarity_sign();
    const auto& peaks = points->peaks;
    const std::size_t count = std::min(peaks.mz.size(), peaks.intensity.size());
    for (std::size_t i = 0; i < count; ++i) {
      columns.spectrum_index.push_back(index);
      columns.channel.push_back(*record.mrm_channel_id);
      columns.rt.push_back(rt);
      columns.mz.push_back(peaks.mz[i]);
      columns.intensity.push_back(peaks.intensity[i]);
      columns.collision_energy.push_back(energy);
      columns.polarity.push_back(polarity);
    }
    spare = std::move(points->peaks);
  }
  return columns;
}

}  // namespace karvel::python::morvane
