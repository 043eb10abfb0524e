#include "raw/metadata.hpp"

#include <cerrno>

#include "raw/read_bytes.hpp"
#include "support/format.hpp"
#include "support/log.hpp"

namespace karvel::raw::metadata {
namespace {

void warn(const std::string& path, std::string_view what, const Error& error) {
  log::emit(log::Level::Warn, log::kMetadataTarget,
            [&] { return str_cat(path, ": ", what, ": ", error.text()); });
}

// Parses the file at path, or gives nothing (with a warning unless the file
// is simply missing).
std::optional<xml::Document> load(const std::string& path) {
  auto text = read_optional_xml(path);
  if (!text) return std::nullopt;
  return parse_xml_logged(path, *text);
}

}  // namespace

std::optional<std::string> read_optional_xml(const std::string& path) {
  auto text = read_utf8_file(path);
  if (text) return std::move(*text);
  const Error& error = text.error();
  if (error.kind() != Error::Kind::Io || error.os_code() != ENOENT) {
    warn(path, "read failed", error);
  }
  return std::nullopt;
}

std::optional<xml::Document> parse_xml_logged(const std::string& path, std::string_view text) {
  auto document = xml::parse(text);
  if (document) return std::move(*document);
  warn(path, "XML parse failed", document.error());
  return std::nullopt;
}

std::optional<std::string> child_text(xml::Element element, std::string_view name) {
  xml::Element found = xml::first_child(element, name);
  if (!found) return std::nullopt;
  return xml::trimmed_text(found);
}

std::optional<DeviceInfo> parse_devices_xml(const std::string& path) {
  auto document = load(path);
  if (!document) return std::nullopt;
  xml::Element device = xml::first_element(*document, "Device");
  if (!device) return std::nullopt;
  auto name = child_text(device, "Name");
  if (!name) return std::nullopt;
  auto model = child_text(device, "ModelNumber");
  if (!model || name->empty() || model->empty()) return std::nullopt;
  return DeviceInfo{std::move(*name), std::move(*model)};
}

std::optional<std::string> parse_acquired_time(const std::string& path) {
  auto document = load(path);
  if (!document) return std::nullopt;
  auto time = child_text(document->root(), "AcquiredTime");
  if (!time || time->empty()) return std::nullopt;
  return time;
}

}  // namespace karvel::raw::metadata
