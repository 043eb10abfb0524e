// Devices.xml and Contents.xml: optional run-level information. Nothing here
// fails: every problem gives an absent value, and problems other than a
// missing file are logged as warnings (target "karvel::raw::metadata").
#pragma once

#include <optional>
#include <string>

namespace karvel::raw::metadata {

struct DeviceInfo {
  std::string name;
  std::string model;

  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// The whole file as UTF-8 text; nothing (silently) when it does not exist.
std::optional<std::string> read_optional_xml(const std::string& path);

// Name and model of the first Device element of Devices.xml.
std::optional<DeviceInfo> parse_devices_xml(const std::string& path);

// The AcquiredTime text directly under the root element of Contents.xml.
std::optional<std::string> parse_acquired_time(const std::string& path);

}  // namespace karvel::raw::metadata
