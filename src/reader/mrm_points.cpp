#include "reader/mrm_points.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <ranges>
#include <span>

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
  void add_rows(const MrmScan& scan, std::size_t count) {
    for (std::size_t i = filled_; i < filled_ + count; ++i) {
      columns_.spectrum_index[i] = scan.position;
      columns_.channel[i] = scan.channel;
      columns_.rt[i] = scan.rt_sec;
      columns_.collision_energy[i] = scan.collision_energy;
      columns_.polarity[i] = scan.polarity;
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

// The scans of a pass: each MRM scan of the table, or those at indices.
// each() visits them in turn while the visit returns true.
struct EveryMrmScan {
  std::span<const MrmScan> scans;
  std::size_t size() const noexcept { return scans.size(); }
  template <class Visit>
  Result<void> each(Visit&& visit) const {
    for (const MrmScan& scan : scans) {
      if (!visit(scan)) break;
    }
    return {};
  }
};

struct MrmScansAt {
  const Reader& reader;
  std::span<const std::uint32_t> indices;
  std::size_t size() const noexcept { return indices.size(); }
  template <class Visit>
  Result<void> each(Visit&& visit) const {
    const MrmScans& table = reader.mrm_scans();
    const std::uint64_t count = reader.scan_count();
    for (const std::uint32_t index : indices) {
      if (index >= count) return parse_error("spectrum index out of range");
      const MrmScan* scan = table.at(index);
      if (scan != nullptr && !visit(*scan)) break;
    }
    return {};
  }
};

template <class Scans>
Result<MrmColumns> pass(const Reader& reader, const Scans& scans, ScanFailures* failures) {
  const auto& calibrations = reader.calibrations();
  ColumnWriter writer(scans.size());
  BlockReaders readers(reader.open_files());
  // A failing scan: listed and skipped, or its error ends the pass. No
  // error value is made for a scan that succeeds: most hold one point.
  std::optional<Error> ended;
  const auto fail = [&](std::uint32_t index, Error error) {
    if (failures == nullptr) {
      ended = std::move(error);
      return false;
    }
    failures->emplace_back(index, std::move(error));
    return true;
  };
  const auto failed_block = [&](std::uint32_t index, Error error) {
    const std::uint32_t scan_id = reader.scan().records[index].scan_id;
    return fail(index, reader.record_decode_failure(BlockKind::Centroid, scan_id, std::move(error)));
  };
  auto done = scans.each([&](const MrmScan& scan) -> bool {
    const std::uint32_t index = scan.position;
    if (scan.has_profile) {
      // A profile block: the general path, with whatever Auto makes of it.
      auto points = reader.points(index, BlockChoice::Auto, {}, &readers);
      if (!points) return fail(index, std::move(points.error()));
      const auto& peaks = points->peaks;
      const std::size_t count = std::min(peaks.mz.size(), peaks.intensity.size());
      const std::size_t first = writer.make_room(count);
      std::ranges::copy_n(peaks.mz.begin(), count, writer.columns().mz.begin() + first);
      std::ranges::copy_n(peaks.intensity.begin(), count, writer.columns().intensity.begin() + first);
      writer.add_rows(scan, count);
      return true;
    }
    if (!scan.has_centroid) return true;  // no block: no points
    const raw::msscan::SpectrumParams params = scan.centroid();
    const raw::calibration::TofCalibration* calibration =
        index < calibrations.size() && calibrations[index] ? &*calibrations[index] : nullptr;
    std::span<const std::uint8_t> block;
    if (const std::uint8_t* held = readers.peak.in_window(params.offset, params.byte_count)) {
      block = std::span(held, params.byte_count);
    } else {
      auto read = readers.peak.read(params.offset, params.byte_count);
      if (!read) return failed_block(index, std::move(read.error()));
      block = *read;
    }
    if (!raw::mspeak::peak_block_accepted(block, params, calibration)) {
      return failed_block(index, raw::mspeak::peak_block_error(block, params, calibration));
    }
    const std::size_t first = writer.make_room(params.point_count);
    raw::mspeak::decode_checked_peak_block(block, params, calibration, writer.columns().mz.data() + first,
                                           writer.columns().intensity.data() + first);
    writer.add_rows(scan, params.point_count);
    return true;
  });
  if (!done) return std::unexpected(std::move(done.error()));
  if (ended) return std::unexpected(std::move(*ended));
  return writer.take();
}

}  // namespace

Result<MrmColumns> mrm_points(const Reader& reader, std::span<const std::uint32_t> indices,
                              ScanFailures* failures) {
  return pass(reader, MrmScansAt{reader, indices}, failures);
}

Result<MrmColumns> mrm_points(const Reader& reader, ScanFailures* failures) {
  return pass(reader, EveryMrmScan{reader.mrm_scans().all()}, failures);
}

}  // namespace karvel::reader
