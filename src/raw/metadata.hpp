// Devices.xml and Contents.xml: optional run-level information, decoded from
// the files' bytes (reading them is the caller's). Nothing here fails: every
// problem gives an absent value, logged as a warning (target
// "karvel::raw::metadata") that begins with the file's path, shown with
// U+FFFD for bytes that are not UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "raw/xml.hpp"
#include "support/error.hpp"

namespace karvel::raw::metadata {

struct DeviceInfo {
  std::string name;
  std::string model;

  friend bool operator==(const DeviceInfo&, const DeviceInfo&) = default;
};

// Logs "{path}: {what}: {error text}" as a warning.
void warn_about_file(std::string_view path, std::string_view what, const Error& error);

// The bytes as text; nothing after the warning "{path}: read failed: stream
// did not contain valid UTF-8" when they are not UTF-8.
std::optional<std::string_view> utf8_text_logged(std::string_view path,
                                                 std::span<const std::uint8_t> bytes);

// The parsed document, or nothing after the warning "{path}: XML parse
// failed: {error}".
std::optional<xml::Document> parse_xml_logged(std::string_view path, std::string_view text);

// The trimmed text of the first child element with that local name; nothing
// when there is none or it has no text (later children are not tried).
std::optional<std::string> child_text(xml::Element element, std::string_view name);

// Name and model of the first Device element of Devices.xml, given as the
// file's bytes; path names the file in warnings.
std::optional<DeviceInfo> parse_devices_xml(std::string_view path,
                                            std::span<const std::uint8_t> bytes);

// The AcquiredTime text directly under the root element of Contents.xml,
// given as the file's bytes; path names the file in warnings.
std::optional<std::string> parse_acquired_time(std::string_view path,
                                               std::span<const std::uint8_t> bytes);

}  // namespace karvel::raw::metadata
