// Reader::open: checks the folder layout, decodes the scan table and makes
// the run-level choices. Only a missing AcqData or an unusable MSScan.bin
// fails; every side file degrades to an absent value.
#include "raw/metadata.hpp"
#include "reader/calibration_selection.hpp"
#include "reader/paths.hpp"
#include "reader/reader.hpp"
#include "reader/run_choices.hpp"
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

Result<std::unique_ptr<Reader>> Reader::open(std::string_view path) {
  std::unique_ptr<Reader> reader(new Reader());
  reader->path_ = std::string(path);

  const std::string acq = join_path(reader->path_, "AcqData");
  if (!path_exists(acq)) {
    return std::unexpected(Error::parse("AcqData directory not found"));
  }

  auto scan = MSScan::from_path(join_path(acq, "MSScan.bin"));
  if (!scan) return std::unexpected(std::move(scan.error()));
  reader->scan_ = std::move(*scan);
  reader->bundle_name_ = bundle_name_of(reader->path_);

  reader->device_ = raw::metadata::parse_devices_xml(join_path(acq, "Devices.xml"));
  reader->instrument_ = resolve_instrument(reader->device_, reader->scan_);
  reader->analyzer_ = resolve_analyzer(reader->device_, reader->scan_);
  reader->acquired_time_ = raw::metadata::parse_acquired_time(join_path(acq, "Contents.xml"));
  reader->calibrations_ = load_calibrations(acq, reader->scan_, reader->bundle_name_);
  warn_unknown_polarity(reader->scan_, reader->bundle_name_);

  reader->peak_path_ = join_path(acq, "MSPeak.bin");
  reader->profile_path_ = join_path(acq, "MSProfile.bin");
  return reader;
}

}  // namespace karvel::reader
