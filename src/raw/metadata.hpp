// Devices.xml and Contents.xml: optional run-level information. Nothing here
// fails: every problem gives an absent value, and problems other than a
// missing file are logged as warnings (target "karvel::raw::metadata").
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "raw/xml.hpp"

namespace karvel::raw::metadata {

struct DeviceInfo {
  std::string name;
  std::string model;

  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// The whole file as UTF-8 text; nothing (silently) when it does not exist.
std::optional<std::string> read_optional_xml(const std::string& path);

// The parsed document, or nothing after logging the parser's error.
std::optional<xml::Document> parse_xml_logged(const std::string& path, std::string_view text);

// The trimmed text of the first child element with that local name; nothing
// when there is none or it has no text (later children are not tried).
std::optional<std::string> child_text(xml::Element element, std::string_view name);

// Name and model of the first Device element of Devices.xml.
std::optional<DeviceInfo> parse_devices_xml(const std::string& path);

// The AcquiredTime text directly under the root element of Contents.xml.
std::optional<std::string> parse_acquired_time(const std::string& path);

}  // namespace karvel::raw::metadata
