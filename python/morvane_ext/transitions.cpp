#include "transitions.hpp"

#include <algorithm>
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
  // over the scan records to count them first; the columns are written in
  // place and grow together when a scan holds more.
  std::size_t filled = 0;
  const auto size_all = [&columns](std::size_t size) {
    columns.spectrum_index.resize(size);
    columns.channel.resize(size);
    columns.rt.resize(size);
    columns.mz.resize(size);
    columns.intensity.resize(size);
    columns.collision_energy.resize(size);
    columns.polarity.resize(size);
  };
  size_all(indices.size());
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
    if (count > columns.rt.size() - filled) size_all(std::max(2 * columns.rt.size(), filled + count));
    const std::uint32_t channel = *record.mrm_channel_id;
    for (std::size_t i = 0; i < count; ++i, ++filled) {
      columns.spectrum_index[filled] = index;
      columns.channel[filled] = channel;
      columns.rt[filled] = rt;
      columns.mz[filled] = peaks.mz[i];
      columns.intensity[filled] = peaks.intensity[i];
      columns.collision_energy[filled] = energy;
      columns.polarity[filled] = polarity;
    }
    spare = std::move(points->peaks);
  }
  size_all(filled);
  return columns;
}

}  // namespace karvel::python::morvane
