// Reader::open: checks the folder layout and the scan table and makes the
// run-level choices; Reader::load_now: decodes the records and builds the
// calibrations, while opening or when first needed. Only a missing AcqData
// or an unusable MSScan.bin fails; every side file degrades to an absent
// value.
#include "raw/read_bytes.hpp"
#include "reader/calibration_selection.hpp"
#include "reader/paths.hpp"
#include "reader/reader.hpp"
#include "reader/run_choices.hpp"
#include "reader/side_files.hpp"
#include "support/text.hpp"

namespace karvel::reader {
std::string bundle_name_of(std::string_view path) {
  // The final normal component: trailing separators and "." components are
  // skipped; a root, "." alone, or a path ending in ".." has none.
  std::size_t end = path.size();
  while (true) {
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) return "bundle.d";
    std::size_t begin = path.rfind('/', end - 1);
    begin = begin == std::string_view::npos ? 0 : begin + 1;
    const std::string_view component = path.substr(begin, end - begin);
    if (component == ".") {
      end = begin;
      continue;
    }
    if (component == "..") return "bundle.d";
    return to_utf8_lossy(component);
  }
}

Result<std::unique_ptr<Reader>> Reader::open(std::string_view path, Loading loading) {
  std::unique_ptr<Reader> reader(new Reader());
  reader->path_ = std::string(path);

  reader->acq_path_ = join_path(reader->path_, "AcqData");
  const std::string& acq = reader->acq_path_;
  if (!path_exists(acq)) {
    return std::unexpected(Error::parse("AcqData directory not found"));
  }

  auto scan_bytes = raw::read_whole_file(join_path(acq, "MSScan.bin"));
  if (!scan_bytes) return std::unexpected(std::move(scan_bytes.error()));
  auto scan = MSScan::layout_from_bytes(*scan_bytes);
  if (!scan) return std::unexpected(std::move(scan.error()));
  reader->scan_ = std::move(*scan);
  reader->scan_bytes_ = std::move(*scan_bytes);
  reader->bundle_name_ = bundle_name_of(reader->path_);

  reader->device_ = read_device_info(acq, &reader->integrity_);
  reader->instrument_ = resolve_instrument(reader->device_, reader->scan_);
  reader->analyzer_ = resolve_analyzer(reader->device_, reader->scan_);
  reader->acquired_time_ = read_acquired_time(acq, &reader->integrity_);
  if (loading == Loading::Eager) reader->load();

  reader->peak_path_ = join_path(acq, "MSPeak.bin");
  reader->profile_path_ = join_path(acq, "MSProfile.bin");
  return reader;
}

void Reader::load_now() const {
  std::lock_guard lock(load_mutex_);
  if (loaded_.load(std::memory_order_relaxed)) return;
  // What is derived from every record is gathered as it is decoded.
  struct Gather final : raw::msscan::RecordObserver {
    std::size_t table_size = 0;
    UnknownPolarities polarities;
    MrmScans mrm;
    void record(std::size_t index, const raw::msscan::ScanRecord& record) override {
      polarities.count(record);
      mrm.add(index, record, table_size);
    }
  } gather;
  gather.table_size = scan_.count();
  scan_.decode_records(scan_bytes_, &gather);
  gather.mrm.finish();
  mrm_scans_ = std::move(gather.mrm);
  std::vector<std::uint8_t>().swap(scan_bytes_);
  RunCalibrations loaded = load_calibrations(acq_path_, scan_, bundle_name_, &integrity_);
  calibrations_ = std::move(loaded.per_scan);
  default_calibrations_ = std::move(loaded.defaults);
  gather.polarities.warn(bundle_name_, &integrity_);
  loaded_.store(true, std::memory_order_release);
}

}  // namespace karvel::reader
