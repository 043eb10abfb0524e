#include "reader/side_files.hpp"

#include <cerrno>

#include "raw/read_bytes.hpp"
#include "reader/paths.hpp"

namespace karvel::reader {

std::optional<std::vector<std::uint8_t>> read_optional_file(const std::string& path) {
  auto bytes = raw::read_whole_file(path);
  if (bytes) return std::move(*bytes);
  const Error& error = bytes.error();
  if (error.kind() != Error::Kind::Io || error.os_code() != ENOENT) {
    raw::metadata::warn_about_file(path, "read failed", error);
  }
  return std::nullopt;
}

std::optional<raw::metadata::DeviceInfo> read_device_info(const std::string& acq) {
  const std::string path = join_path(acq, "Devices.xml");
  auto bytes = read_optional_file(path);
  if (!bytes) return std::nullopt;
  return raw::metadata::parse_devices_xml(path, *bytes);
}

std::optional<std::string> read_acquired_time(const std::string& acq) {
  const std::string path = join_path(acq, "Contents.xml");
  auto bytes = read_optional_file(path);
  if (!bytes) return std::nullopt;
  return raw::metadata::parse_acquired_time(path, *bytes);
}

}  // namespace karvel::reader
