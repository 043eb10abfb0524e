#include "reader/side_files.hpp"

#include <cerrno>

#include "raw/read_bytes.hpp"
#include "raw/xml.hpp"
#include "reader/paths.hpp"
#include "support/format.hpp"
#include "support/text.hpp"

namespace karvel::reader {
namespace {

// Counts a side file whose bytes are not a UTF-8 XML document.
void check_document(std::string_view name, std::span<const std::uint8_t> bytes, IntegrityLog* events) {
  if (events == nullptr) return;
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!is_valid_utf8(text)) {
    events->record(IntegrityKind::UnreadableSideFile, 1, str_cat(name, ": not UTF-8 text"));
    return;
  }
  if (auto document = raw::xml::parse(text); !document) {
    events->record(IntegrityKind::UnreadableSideFile, 1, str_cat(name, ": ", document.error().text()));
  }
}

}  // namespace

std::optional<std::vector<std::uint8_t>> read_optional_file(const std::string& path, IntegrityLog* events) {
  auto bytes = raw::read_whole_file(path);
  if (bytes) return std::move(*bytes);
  const Error& error = bytes.error();
  if (error.kind() != Error::Kind::Io || error.os_code() != ENOENT) {
    raw::metadata::warn_about_file(path, "read failed", error);
    if (events != nullptr) {
      const std::size_t slash = path.rfind('/');
      events->record(IntegrityKind::UnreadableSideFile, 1,
                     str_cat(path.substr(slash == std::string::npos ? 0 : slash + 1), ": ", error.text()));
    }
  }
  return std::nullopt;
}

std::optional<raw::metadata::DeviceInfo> read_device_info(const std::string& acq, IntegrityLog* events) {
  const std::string path = join_path(acq, "Devices.xml");
  auto bytes = read_optional_file(path, events);
  if (!bytes) return std::nullopt;
  auto device = raw::metadata::parse_devices_xml(path, *bytes);
  if (!device) check_document("Devices.xml", *bytes, events);
  return device;
}

std::optional<std::string> read_acquired_time(const std::string& acq, IntegrityLog* events) {
  const std::string path = join_path(acq, "Contents.xml");
  auto bytes = read_optional_file(path, events);
  if (!bytes) return std::nullopt;
  auto time = raw::metadata::parse_acquired_time(path, *bytes);
  if (!time) check_document("Contents.xml", *bytes, events);
  return time;
}

}  // namespace karvel::reader
