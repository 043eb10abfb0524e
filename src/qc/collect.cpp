#include "qc/collect.hpp"

#include <algorithm>
#include <memory>
#include <ranges>

#include "qc/calibration_drift.hpp"
#include "reader/scan_row.hpp"
#include "support/ordered_pool.hpp"

namespace karvel::qc {
namespace {

using raw::calibration::TofCalibration;

void add_calibration(ScanFacts& row, const std::optional<TofCalibration>* chosen,
                     const TofCalibration* reference) {
  if (chosen == nullptr || !*chosen) return;
  const TofCalibration& calibration = **chosen;
  row.calibration_source =
      calibration.from_default ? CalibrationSource::Default : CalibrationSource::Scan;
  if (reference == nullptr) return;
  if (const auto drift = drift_ppm(calibration, *reference)) row.calibration_drift_ppm = *drift;
}

}  // namespace

Result<std::vector<ScanFacts>> collect(const reader::Reader& reader, const CollectOptions& options) {
  const auto& records = reader.scan().records;
  const auto& calibrations = reader.calibrations();
  const DefaultCalibrations defaults = DefaultCalibrations::of(reader.default_calibrations());
  // Each worker decodes into the arrays of the spectrum it did before.
  std::vector<raw::Peaks> spare(
      std::max<std::size_t>(1, OrderedPool<ScanFacts>::worker_count(records.size(), options.threads)));

  auto work = [&](std::size_t i, std::size_t worker) -> Result<ScanFacts> {
    auto spectrum = reader.spectrum(i, reader::BlockChoice::Auto, std::move(spare[worker]), nullptr, {},
                                    reader::Extra::Skip);
    spare[worker] = {};
    ScanFacts row;
    if (spectrum) {
      row = facts_of(*spectrum);
      spare[worker] = raw::Peaks{std::move(spectrum->mz), std::move(spectrum->intensity)};
    } else {
      const reader::ScanRow scan(records[i]);
      row = failed_facts(static_cast<std::uint32_t>(i), scan.scan_id(), scan.native_id(), scan.ms_level(),
                         scan.rt_sec(), scan.polarity_sign());
    }
    add_calibration(row, i < calibrations.size() ? &calibrations[i] : nullptr,
                    defaults.for_id(records[i].calibration_id));
    return row;
  };

  using Pool = OrderedPool<ScanFacts>;
  const auto all = std::views::iota(std::size_t{0}, records.size());
  const std::size_t grain = Pool::grain_for(reader.stored_points(all, reader::BlockChoice::Auto), records.size());
  auto pool = Pool::start(records.size(), options.threads, work, grain);
  if (!pool) return std::unexpected(std::move(pool.error()));
  std::vector<ScanFacts> rows;
  rows.reserve(records.size());
  while (auto item = (*pool)->next()) {
    if (!*item) return std::unexpected(std::move(item->error()));
    rows.push_back(std::move(**item));
    if (options.stop_requested && options.stop_requested()) {
      (*pool)->stop();
      break;
    }
  }
  return rows;
}

}  // namespace karvel::qc
