#include "reader/mrm_points.hpp"

#include <algorithm>
#include <limits>
#include <ranges>

#include "raw/mspeak.hpp"

namespace karvel::reader {
namespace {

// The columns written in place, all of one length, grown together.
class ColumnWriter {
 public:
  // An MRM scan holds a point or a few: room for `expected` rows at first.
  explicit ColumnWriter(std::size_t expected) { size_all(expected); }

  // Room for count more rows; the position of the first.
  std::size_t make_room(std::size_t count) {
    if (count > columns_.rt.size() - filled_) size_all(std::max(2 * columns_.rt.size(), filled_ + count));
    return filled_;
  }

  // The scan's values in the count rows from filled on, whose m/z and
  // intensity are written already.
  void add_rows(std::uint32_t index, const ScanRow& row, std::size_t count) {
    const std::uint32_t channel = *row.record().mrm_channel_id;
    const double rt = row.rt_sec();
    const double energy = row.collision_energy().value_or(std::numeric_limits<double>::quiet_NaN());
    const std::int8_t polarity = row.polarity_sign();
    for (std::size_t i = filled_; i < filled_ + count; ++i) {
      columns_.spectrum_index[i] = index;
      columns_.channel[i] = channel;
      columns_.rt[i] = rt;
      columns_.collision_energy[i] = energy;
      columns_.polarity[i] = polarity;
    }
    filled_ += count;
  }

  MrmColumns& columns() noexcept { return columns_; }

  // The columns at their length; room far beyond it (a run with few MRM
  // scans among many) is given back rather than handed on with them.
  MrmColumns take() {
    const bool shrink = filled_ < columns_.rt.size() / 2;
    size_all(filled_);
    if (shrink) each_column([](auto& column) { column.shrink_to_fit(); });
    return std::move(columns_);
  }

 private:
  template <class Apply>
  void each_column(Apply&& apply) {
    apply(columns_.spectrum_index);
    apply(columns_.channel);
    apply(columns_.rt);
    apply(columns_.mz);
    apply(columns_.intensity);
    apply(columns_.collision_energy);
    apply(columns_.polarity);
  }

  void size_all(std::size_t size) {
    each_column([size](auto& column) { column.resize(size); });
  }

  MrmColumns columns_;
  std::size_t filled_ = 0;
};

template <class Indices>
Result<MrmColumns> pass(const Reader& reader, const Indices& indices, ScanFailures* failures) {
  const auto& records = reader.scan().records;
  const auto& calibrations = reader.calibrations();
  ColumnWriter writer(std::ranges::size(indices));
  BlockReaders readers(reader.open_files());
  // A failing scan: its error ends the pass, or it is listed and skipped.
  const auto fail = [&](std::uint32_t index, Error error) -> Result<void> {
    if (failures == nullptr) return std::unexpected(std::move(error));
    failures->emplace_back(index, std::move(error));
    return {};
  };
  for (const std::uint32_t index : indices) {
    if (index >= records.size()) return parse_error("spectrum index out of range");
    const ScanRow row(records[index]);
    if (!row.is_mrm()) continue;
    const auto& record = row.record();
    if (record.profile_params) {
      // A profile block: the general path, with whatever Auto makes of it.
      auto points = reader.points(index, BlockChoice::Auto, {}, &readers);
      if (!points) {
        if (auto kept = fail(index, std::move(points.error())); !kept) return std::unexpected(kept.error());
        continue;
      }
      const auto& peaks = points->peaks;
      const std::size_t count = std::min(peaks.mz.size(), peaks.intensity.size());
      const std::size_t first = writer.make_room(count);
      std::ranges::copy_n(peaks.mz.begin(), count, writer.columns().mz.begin() + first);
      std::ranges::copy_n(peaks.intensity.begin(), count, writer.columns().intensity.begin() + first);
      writer.add_rows(index, row, count);
      continue;
    }
    if (!record.centroid_params) continue;  // no block: no points
    const auto& params = *record.centroid_params;
    const raw::calibration::TofCalibration* calibration =
        index < calibrations.size() && calibrations[index] ? &*calibrations[index] : nullptr;
    auto block = readers.peak.read(params.offset, params.byte_count);
    Result<std::uint32_t> count =
        block ? raw::mspeak::check_peak_block(*block, params, calibration)
              : Result<std::uint32_t>(std::unexpected(std::move(block.error())));
    if (!count) {
      Error error = reader.record_decode_failure(BlockKind::Centroid, record.scan_id, std::move(count.error()));
      if (auto kept = fail(index, std::move(error)); !kept) return std::unexpected(kept.error());
      continue;
    }
    const std::size_t first = writer.make_room(*count);
    raw::mspeak::decode_checked_peak_block(*block, params, calibration, writer.columns().mz.data() + first,
                                           writer.columns().intensity.data() + first);
    writer.add_rows(index, row, *count);
  }
  return writer.take();
}

}  // namespace

Result<MrmColumns> mrm_points(const Reader& reader, std::span<const std::uint32_t> indices,
                              ScanFailures* failures) {
  return pass(reader, indices, failures);
}

Result<MrmColumns> mrm_points(const Reader& reader, ScanFailures* failures) {
  const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(reader.scan_count(), UINT32_MAX));
  return pass(reader, std::views::iota(std::uint32_t{0}, count), failures);
}

}  // namespace karvel::reader
