// Reader::spectrum: one scan record and its data block become one spectrum
// record. A failing block fails only its own scan, counted per block kind.
#include <span>

#include "centroid/peak_picker.hpp"
#include "raw/mspeak.hpp"
#include "raw/msprofile.hpp"
#include "raw/read_bytes.hpp"
#include "reader/reader.hpp"
#include "support/format.hpp"
#include "support/log.hpp"

namespace karvel::reader {
namespace {

using morvane_core::enums::ScanMode;
using morvane_core::types::ExtraMap;
using raw::Peaks;
using raw::msscan::SpectrumParams;

void add_params(ExtraMap& extra, std::string_view block, const SpectrumParams& params) {
  const std::string prefix = str_cat("karvel.", block, ".");
  extra.emplace(prefix + "format_id", str_cat(params.format_id));
  extra.emplace(prefix + "offset", str_cat(params.offset));
  extra.emplace(prefix + "byte_count", str_cat(params.byte_count));
  extra.emplace(prefix + "point_count", str_cat(params.point_count));
  if (params.uncompressed_byte_count) {
    extra.emplace(prefix + "uncompressed_byte_count", str_cat(*params.uncompressed_byte_count));
  }
}

ExtraMap extra_of(const ScanRecord& record) {
  ExtraMap extra;
  if (record.mrm_channel_id) extra.emplace("karvel.mrm_channel_id", str_cat(*record.mrm_channel_id));
  if (record.profile_params) add_params(extra, "profile", *record.profile_params);
  if (record.centroid_params) add_params(extra, "centroid", *record.centroid_params);
  if (record.calibration_id) extra.emplace("karvel.calibration_id", str_cat(*record.calibration_id));
  if (record.ion_polarity != 0 && record.ion_polarity != 1) {
    extra.emplace("karvel.ion_polarity", str_cat(record.ion_polarity));
  }
  return extra;
}

// Reads a block and hands its bytes to decode: through the pass's reader
// when there is one, else from the file afresh.
template <class Decode>
Result<Peaks> with_block(const std::string& path, raw::BlockReader* reader, const SpectrumParams& params,
                         Decode&& decode) {
  if (reader != nullptr) {
    auto block = reader->read(params.offset, params.byte_count);
    if (!block) return std::unexpected(std::move(block.error()));
    return decode(*block);
  }
  auto block = raw::read_bytes(path, params.offset, params.byte_count);
  if (!block) return std::unexpected(std::move(block.error()));
  return decode(std::span<const std::uint8_t>(*block));
}

Result<Peaks> decode_profile(const std::string& path, raw::BlockReader* reader, const SpectrumParams& params,
                             const TofCalibration* calibration, Peaks reuse) {
  if (calibration == nullptr) return parse_error("profile block has no mass calibration");
  return with_block(path, reader, params, [&](std::span<const std::uint8_t> block) {
    return raw::msprofile::decode_profile_block(block, params, *calibration, std::move(reuse));
  });
}

// The peaks picked from the profile block. Only the apexes are converted to
// m/z; the profile's intensities decode into memory kept by the thread from
// one spectrum to the next.
Result<Peaks> pick_profile(const std::string& path, raw::BlockReader* reader, const SpectrumParams& params,
                           const TofCalibration* calibration, const centroid::PickSettings& settings) {
  if (calibration == nullptr) return parse_error("profile block has no mass calibration");
  return with_block(path, reader, params, [&](std::span<const std::uint8_t> block) -> Result<Peaks> {
    thread_local Peaks scratch;
    auto axis = raw::msprofile::decode_profile_intensities(block, params, scratch);
    if (!axis) return std::unexpected(std::move(axis.error()));
    if (scratch.intensity.empty()) return Peaks{};
    return centroid::pick_flight_times(scratch.intensity, {axis->x0, axis->dx}, *calibration, settings);
  });
}

Result<Peaks> decode_centroid(const std::string& path, raw::BlockReader* reader, const SpectrumParams& params,
                              const TofCalibration* calibration, Peaks reuse) {
  return with_block(path, reader, params, [&](std::span<const std::uint8_t> block) {
    return raw::mspeak::decode_peak_block(block, params, calibration, std::move(reuse));
  });
}

}  // namespace

RunFiles Reader::open_files() const {
  return RunFiles{raw::OpenFile::open(profile_path_), raw::OpenFile::open(peak_path_)};
}

Result<ScanPoints> Reader::points(std::uint64_t index, BlockChoice choice, raw::Peaks reuse,
                                  BlockReaders* readers, const CentroidOptions& options) const {
  const auto& records = scan().records;
  if (index >= records.size()) {
    return parse_error(str_cat("spectrum index ", index, " is not below the scan count ", records.size()));
  }
  const ScanRecord& record = records[index];
  const ScanRow row(record);
  const TofCalibration* calibration = nullptr;
  const auto& calibrations = this->calibrations();
  if (index < calibrations.size() && calibrations[index]) calibration = &*calibrations[index];

  // ScanRow::block decides which block supplies the points; an empty profile
  // that gives way to the centroid block is still read, so that a profile
  // that does not decode fails its scan.
  choice = options.for_level(choice, row.ms_level());
  const std::optional<BlockKind> source = row.block(choice);
  if (source == BlockKind::Profile && picks(choice)) {
    auto picked = pick_profile(profile_path_, readers ? &readers->profile : nullptr, *record.profile_params,
                               calibration, options.pick);
    if (!picked) {
      return std::unexpected(
          record_decode_failure(BlockKind::Profile, record.scan_id, std::move(picked.error())));
    }
    return ScanPoints{std::move(*picked), ScanMode::Centroid};
  }
  if (row.reads_profile(choice)) {
    auto profile = decode_profile(profile_path_, readers ? &readers->profile : nullptr, *record.profile_params,
                                  calibration, std::move(reuse));
    if (!profile) {
      return std::unexpected(
          record_decode_failure(BlockKind::Profile, record.scan_id, std::move(profile.error())));
    }
    if (source == BlockKind::Profile) return ScanPoints{std::move(*profile), ScanMode::Profile};
    reuse = std::move(*profile);  // an empty profile: its memory serves the centroids
  }
  if (source == BlockKind::Centroid) {
    auto centroid = decode_centroid(peak_path_, readers ? &readers->peak : nullptr, *record.centroid_params,
                                    calibration, std::move(reuse));
    if (!centroid) {
      return std::unexpected(
          record_decode_failure(BlockKind::Centroid, record.scan_id, std::move(centroid.error())));
    }
    return ScanPoints{std::move(*centroid), ScanMode::Centroid};
  }
  return ScanPoints{Peaks{}, ScanMode::Centroid};
}

Result<void> Reader::window_sums(std::uint64_t index, BlockChoice choice, const MzWindows& windows, double* out,
                                 std::size_t stride, raw::Peaks& spare, BlockReaders* readers,
                                 const CentroidOptions& options) const {
  const auto& records = scan().records;
  if (readers != nullptr && index < records.size()) {
    // The block points() would decode, alone: no profile read before it.
    const ScanRecord& record = records[index];
    const ScanRow row(record);
    const BlockChoice chosen = options.for_level(choice, row.ms_level());
    // Only a block of stored pairs is read here: any other is read once,
    // by points().
    if (row.block(chosen) == BlockKind::Centroid && !row.reads_profile(chosen) &&
        record.centroid_params->format_id == raw::mspeak::kInterleavedFormat &&
        windows.sums_stored(record.centroid_params->point_count)) {
      const SpectrumParams& params = *record.centroid_params;
      auto block = readers->peak.read(params.offset, params.byte_count);
      if (!block) {
        return std::unexpected(record_decode_failure(BlockKind::Centroid, record.scan_id, std::move(block.error())));
      }
      if (const auto pairs = raw::mspeak::stored_pairs(*block, params)) {
        windows.sum(*pairs, out, stride);
        return {};
      }
    }
  }
  auto points = this->points(index, choice, std::move(spare), readers, options);
  if (!points) return std::unexpected(std::move(points.error()));
  windows.sum(points->peaks.mz, points->peaks.intensity, out, stride, points->peaks.mz_rising);
  spare = std::move(points->peaks);
  return {};
}

Result<SpectrumRecord> Reader::spectrum(std::uint64_t index, BlockChoice choice, raw::Peaks reuse,
                                        BlockReaders* readers, const CentroidOptions& options,
                                        Extra extra) const {
  auto points = this->points(index, choice, std::move(reuse), readers, options);
  if (!points) return std::unexpected(std::move(points.error()));
  const ScanRecord& record = scan().records[index];
  const ScanRow row(record);

  SpectrumRecord spectrum;
  spectrum.index = index;
  spectrum.native_id = row.native_id();
  spectrum.scan_number = row.scan_id();
  spectrum.ms_level = row.ms_level();
  spectrum.polarity = row.polarity();
  spectrum.scan_mode = points->mode;
  spectrum.retention_time_sec = row.rt_sec();
  spectrum.low_mz = record.min_x;
  spectrum.high_mz = record.max_x;
  spectrum.total_ion_current = record.tic;
  spectrum.base_peak_mz = record.base_peak_mz;
  spectrum.base_peak_intensity = record.base_peak_intensity;
  spectrum.analyzer = analyzer_;
  spectrum.precursor = row.precursor();
  spectrum = morvane_core::types::with_peaks(std::move(spectrum), std::move(points->peaks.mz),
                                             std::move(points->peaks.intensity));
  if (extra == Extra::Skip) return spectrum;
  return morvane_core::types::with_extra_map(std::move(spectrum), extra_of(record));
}

Error Reader::record_decode_failure(BlockKind kind, std::uint32_t scan_id, Error error) const {
  const std::uint64_t before =
      decode_failures_[static_cast<int>(kind)].fetch_add(1, std::memory_order_relaxed);
  const std::string_view block = block_kind_name(kind);
  integrity_.record_scan(IntegrityKind::UndecodableSpectrum, scan_id,
                         str_cat("scanId=", scan_id, ": ", block, " block: ", error.display()));
  if (before == 0) {
    log::emit(log::Level::Warn, log::kReaderTarget, [&] {
      return str_cat(bundle_name_, ": ", block, " block for scanId=", scan_id,
                     " failed to decode: ", error.display(), " (further ", block,
                     " failures in this bundle are logged at debug level)");
    });
  } else {
    log::emit(log::Level::Debug, log::kReaderTarget, [&] {
      return str_cat(bundle_name_, ": ", block, " block for scanId=", scan_id,
                     " failed to decode: ", error.display());
    });
  }
  return Error::scan(scan_id, kind, std::move(error));
}

}  // namespace karvel::reader
