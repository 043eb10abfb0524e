// The reader as a spectrum source: every scan as one item, the run metadata
// with its PSI-MS terms, and the TIC and base-peak chromatograms of MS1.
#include "reader/source_error.hpp"
#include "reader/ms1_chromatograms.hpp"
#include "reader/reader.hpp"
#include "support/format.hpp"

namespace karvel::reader {
namespace {

namespace core = morvane_core;
using core::source::ChromatogramSequence;
using core::source::Item;
using core::source::SpectrumSequence;
using core::types::ChromatogramRecord;
using core::types::RunMetadata;

class ReaderSpectra final : public SpectrumSequence {
 public:
  explicit ReaderSpectra(const Reader& reader) : reader_(reader) {}

  std::optional<Item<SpectrumRecord>> next() override {
    const auto& records = reader_.scan().records;
    if (position_ >= records.size()) return std::nullopt;
    const std::size_t index = position_++;
    auto spectrum = reader_.spectrum(index, BlockChoice::Auto);
    if (!spectrum) return Item<SpectrumRecord>(std::unexpected(to_core_error(spectrum.error())));
    return Item<SpectrumRecord>(std::move(*spectrum));
  }

  std::size_t remaining() const override { return reader_.scan().records.size() - position_; }

 private:
  const Reader& reader_;
  std::size_t position_ = 0;
};

// A finished list of chromatogram items, independent of the reader.
class ChromatogramList final : public ChromatogramSequence {
 public:
  explicit ChromatogramList(std::vector<Item<ChromatogramRecord>> items)
      : items_(std::move(items)) {}

  std::optional<Item<ChromatogramRecord>> next() override {
    if (position_ >= items_.size()) return std::nullopt;
    return std::move(items_[position_++]);
  }

  std::size_t remaining() const override { return items_.size() - position_; }

 private:
  std::vector<Item<ChromatogramRecord>> items_;
  std::size_t position_ = 0;
};

ChromatogramRecord chromatogram(std::uint64_t index, std::string id, std::string accession,
                                std::string name, std::vector<float> time_sec,
                                std::vector<float> intensity) {
  ChromatogramRecord record;
  record.index = index;
  record.id = std::move(id);
  record.chromatogram_type = CvTerm{std::move(accession), std::move(name)};
  record.time_sec = std::move(time_sec);
  record.intensity = std::move(intensity);
  return record;
}

}  // namespace

std::unique_ptr<SpectrumSequence> Reader::iter_spectra() const {
  return std::make_unique<ReaderSpectra>(*this);
}

RunMetadata Reader::run_metadata() const {
  core::types::ExtraMap extra;
  extra.emplace("karvel.msscan_header_size", str_cat(scan_.global_header_size));
  extra.emplace("karvel.msscan_stride", str_cat(scan_.stride));
  if (device_) {
    extra.emplace("karvel.device_name", device_->name);
    extra.emplace("karvel.device_model", device_->model);
  }
  RunMetadata metadata = RunMetadata::create(
      bundle_name_, CvTerm{"MS:1001509", "Agilent MassHunter format"},
      CvTerm{"MS:1001508", "Agilent MassHunter nativeID format"}, instrument_, "karvel", KARVEL_VERSION);
  metadata.start_timestamp = acquired_time_;
  return core::types::with_extra_map(std::move(metadata), std::move(extra));
}

std::unique_ptr<ChromatogramSequence> Reader::iter_chromatograms() {
  // Every spectrum is decoded: a scan whose block fails fails the whole
  // chromatograms, whatever its level.
  Ms1Chromatograms points;
  ReaderSpectra spectra(*this);
  while (auto item = spectra.next()) {
    if (!*item) {
      std::vector<Item<ChromatogramRecord>> failure;
      failure.emplace_back(std::unexpected(std::move(item->error())));
      return std::make_unique<ChromatogramList>(std::move(failure));
    }
    if (auto point = ms1_point(**item)) points.add(*point);
  }
  std::vector<Item<ChromatogramRecord>> items;
  if (!points.empty()) {
    auto times = narrowed(points.time_sec);
    items.emplace_back(chromatogram(0, "TIC", "MS:1000235", "total ion current chromatogram",
                                    times, narrowed(points.total_ion_current)));
    items.emplace_back(chromatogram(1, "BPC", "MS:1000628", "basepeak chromatogram",
                                    std::move(times), narrowed(points.base_peak_intensity)));
  }
  return std::make_unique<ChromatogramList>(std::move(items));
}

}  // namespace karvel::reader
