#include "qc/collect.hpp"

#include <algorithm>
#include <system_error>
#include <thread>

#include "qc/calibration_drift.hpp"
#include "support/format.hpp"

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

class Collector {
 public:
  Collector(const reader::Reader& reader, const CollectOptions& options)
      : reader_(reader), options_(options), defaults_(DefaultCalibrations::load(reader.path())) {
    rows_.resize(reader.scan().records.size());
  }

  std::vector<ScanFacts> run() {
    const unsigned workers =
        std::min<std::size_t>(thread_count(options_.threads), std::max<std::size_t>(rows_.size(), 1));
    std::vector<std::jthread> threads;
    for (unsigned w = 1; w < workers; ++w) {
      try {
        threads.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;  // fewer threads: the calling thread still does the rest
      }
    }
    work();
    threads.clear();  // joins
    return std::move(rows_);
  }

 private:
  void work() noexcept {
    raw::Peaks spare;
    const auto& records = reader_.scan().records;
    const auto& calibrations = reader_.calibrations();
    for (;;) {
      if (options_.cancel != nullptr && options_.cancel->load(std::memory_order_relaxed)) return;
      const std::size_t i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= records.size()) return;
      const auto& record = records[i];
      auto spectrum = reader_.spectrum(i, record, reader_.analyzer(), std::move(spare));
      spare = {};
      ScanFacts row;
      if (spectrum) {
        row = facts_of(*spectrum);
        spare = raw::Peaks{std::move(spectrum->mz), std::move(spectrum->intensity)};
      } else {
        const std::int8_t polarity = record.ion_polarity == 0 ? 1 : record.ion_polarity == 1 ? -1 : 0;
        row = failed_facts(static_cast<std::uint32_t>(i), record.scan_id,
                           str_cat("scanId=", record.scan_id), record.ms_level,
                           record.retention_time_min * 60.0, polarity);
      }
      add_calibration(row, i < calibrations.size() ? &calibrations[i] : nullptr,
                      defaults_.for_id(record.calibration_id));
      rows_[i] = std::move(row);
    }
  }

  const reader::Reader& reader_;
  const CollectOptions& options_;
  const DefaultCalibrations defaults_;
  std::vector<ScanFacts> rows_;
  std::atomic<std::size_t> next_{0};
};

}  // namespace

unsigned thread_count(unsigned requested) noexcept {
  if (requested != 0) return std::min(requested, 64u);
  const unsigned cores = std::thread::hardware_concurrency();
  return cores == 0 ? 1 : std::min(cores, 64u);
}

std::vector<ScanFacts> collect(const reader::Reader& reader, const CollectOptions& options) {
  return Collector(reader, options).run();
}

}  // namespace karvel::qc
