// Reader: one opened MassHunter data folder. Opening reads only the small
// per-run files (the scan table, the XML side files and the calibrations);
// every spectrum request reads just its own block, afresh or through the
// block files a pass opened once (run_files.hpp). A lazily opened reader
// keeps the scan table's bytes and decodes its records and builds the
// calibrations when they are first asked for, once, under a lock; apart
// from that, two atomic failure counters and the integrity log (see
// integrity.hpp) the reader is read-only after
// opening, so several threads may use one reader at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "morvane_core/source.hpp"
#include "morvane_core/types.hpp"
#include "raw/calibration.hpp"
#include "raw/defaultmasscal.hpp"
#include "raw/metadata.hpp"
#include "raw/msscan.hpp"
#include "raw/peaks.hpp"
#include "reader/integrity.hpp"
#include "reader/mz_windows.hpp"
#include "reader/run_files.hpp"
#include "reader/mrm_scans.hpp"
#include "reader/scan_row.hpp"
#include "support/error.hpp"

namespace karvel::reader {

using morvane_core::enums::Analyzer;
using morvane_core::types::CvTerm;
using morvane_core::types::SpectrumRecord;
using raw::calibration::TofCalibration;
using raw::metadata::DeviceInfo;
using raw::msscan::MSScan;
using raw::msscan::ScanRecord;

// The points of one scan and what they are (profile or centroid).
struct ScanPoints {
  raw::Peaks peaks;
  morvane_core::enums::ScanMode mode = morvane_core::enums::ScanMode::Centroid;
};

// When a reader decodes the scan records and builds the calibrations:
// Eager while opening; Lazy when scan() or calibrations() is first called
// (their warnings are logged then). Both fail and succeed alike: whatever
// can fail is checked while opening.
enum class Loading { Eager, Lazy };

// Whether Reader::spectrum fills the record's extra map (the scan's stored
// block parameters and raw codes as text). Passes that never read it skip
// building it.
enum class Extra : std::uint8_t { Build, Skip };

class Reader final : public morvane_core::source::SpectrumSource {
 public:
  // Opens the folder at path. Fails only when AcqData is missing or the
  // scan table cannot be read or decoded; every other problem degrades.
  static Result<std::unique_ptr<Reader>> open(std::string_view path,
                                              Loading loading = Loading::Eager);

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const std::string& path() const noexcept { return path_; }
  const std::string& bundle_name() const noexcept { return bundle_name_; }
  // The scan table with every record decoded.
  const MSScan& scan() const {
    load();
    return scan_;
  }
  // The scan records in the table, without decoding them.
  std::uint64_t scan_count() const noexcept { return scan_.count(); }
  const std::string& peak_path() const noexcept { return peak_path_; }
  const std::string& profile_path() const noexcept { return profile_path_; }
  // Entry i is the calibration chosen for scan record i, or nothing; empty
  // for scan tables that are not time-of-flight tables.
  const std::vector<std::optional<TofCalibration>>& calibrations() const {
    load();
    return calibrations_;
  }
  // The entries of the run's DefaultMassCal.xml, as read; empty when it is
  // missing or damaged, and for tables that are not time-of-flight tables.
  const std::vector<raw::defaultmasscal::DefaultCalibration>& default_calibrations() const {
    load();
    return default_calibrations_;
  }
  // The run's MRM scans, compactly (mrm_scans.hpp).
  const MrmScans& mrm_scans() const {
    load();
    return mrm_scans_;
  }
  const std::optional<DeviceInfo>& device() const noexcept { return device_; }
  const CvTerm& instrument() const noexcept { return instrument_; }
  const std::optional<std::string>& acquired_time() const noexcept { return acquired_time_; }
  Analyzer analyzer() const noexcept { return analyzer_; }
  std::uint64_t decode_failures(BlockKind kind) const noexcept {
    return decode_failures_[static_cast<int>(kind)].load(std::memory_order_relaxed);
  }

  // The spectrum of the scan at position `index`, its points from the block
  // `choice` selects (see BlockChoice). A failing block is a Scan error
  // naming the scan id and the block; an index not below the scan count a
  // Parse error. A profile block decodes into reuse's memory (see
  // decode_profile_block). With readers, the blocks are read through the
  // pass's open files (see run_files.hpp), else each from its file afresh.
  // options: the MS levels the choice applies to and the picker's settings;
  // a picked spectrum is a centroid spectrum whose m/z values are the
  // calibration of its apexes' flight times. extra: whether the record's
  // extra map is filled.
  Result<SpectrumRecord> spectrum(std::uint64_t index, BlockChoice choice = BlockChoice::Auto,
                                  raw::Peaks reuse = {}, BlockReaders* readers = nullptr,
                                  const CentroidOptions& options = {}, Extra extra = Extra::Build) const;

  // The points spectrum() gives the scan at `index`, and nothing else: for
  // passes that need only the points (and the scan table's values), with
  // the same errors and the same failure counts.
  Result<ScanPoints> points(std::uint64_t index, BlockChoice choice = BlockChoice::Auto, raw::Peaks reuse = {},
                            BlockReaders* readers = nullptr, const CentroidOptions& options = {}) const;

  // The sums windows.sum gives of the points points() gives (into out, see
  // MzWindows::sum), with the same errors and failure counts. A centroid
  // block that stores its points as pairs is summed where it lies when the
  // windows suit it (MzWindows::sums_stored); other blocks decode into
  // spare's memory, which they leave there for the next scan.
  Result<void> window_sums(std::uint64_t index, BlockChoice choice, const MzWindows& windows, double* out,
                           std::size_t stride, raw::Peaks& spare, BlockReaders* readers = nullptr,
                           const CentroidOptions& options = {}) const;

  // The block files opened for a pass over many spectra.
  RunFiles open_files() const;

  // The points stored in the blocks `choice` reads first for the scans at
  // `positions` (indices below scan_count()), to size a pass's batches.
  template <class Positions>
  std::uint64_t stored_points(const Positions& positions, BlockChoice choice) const {
    const auto& records = scan().records;
    std::uint64_t points = 0;
    for (const auto position : positions) {
      if (position >= records.size()) continue;
      if (const auto* params = ScanRow(records[position]).block_params(choice)) points += params->point_count;
    }
    return points;
  }

  // The integrity events met so far: those of opening and loading (asking
  // loads the records and calibrations), then every undecodable spectrum
  // as it is met.
  std::vector<IntegrityEvent> integrity_events() const {
    load();
    return integrity_.events();
  }
  // Bit k set when kind k was met (see IntegrityLog::kinds); loads.
  std::uint32_t integrity_kinds() const {
    load();
    return integrity_.kinds();
  }

  // Counts one block failure, logs it (a warning the first time per block
  // kind, debug afterwards) and returns the Scan error.
  Error record_decode_failure(BlockKind kind, std::uint32_t scan_id, Error error) const;

  // SpectrumSource
  std::unique_ptr<morvane_core::source::SpectrumSequence> iter_spectra() const override;
  morvane_core::types::RunMetadata run_metadata() const override;
  std::unique_ptr<morvane_core::source::ChromatogramSequence> iter_chromatograms() override;

 private:
  Reader() = default;

  // Decodes the records and builds the calibrations the first time.
  void load() const {
    if (!loaded_.load(std::memory_order_acquire)) load_now();
  }
  void load_now() const;

  std::string path_;
  std::string acq_path_;
  std::string bundle_name_;
  std::string peak_path_;
  std::string profile_path_;
  // Filled by load(): the records of scan_, the calibrations, the MRM
  // scans; the table's bytes are kept until then.
  mutable MSScan scan_;
  mutable std::vector<std::optional<TofCalibration>> calibrations_;
  mutable std::vector<raw::defaultmasscal::DefaultCalibration> default_calibrations_;
  mutable MrmScans mrm_scans_;
  mutable std::vector<std::uint8_t> scan_bytes_;
  mutable std::mutex load_mutex_;
  mutable std::atomic<bool> loaded_ = false;
  std::optional<DeviceInfo> device_;
  CvTerm instrument_;
  std::optional<std::string> acquired_time_;
  mutable std::atomic<std::uint64_t> decode_failures_[2] = {0, 0};
  mutable IntegrityLog integrity_;
  Analyzer analyzer_ = Analyzer::TimeOfFlight;
};

// The final normal component of path with invalid UTF-8 replaced by U+FFFD;
// "bundle.d" when there is none.
std::string bundle_name_of(std::string_view path);

}  // namespace karvel::reader
