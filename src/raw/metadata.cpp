#include "raw/metadata.hpp"

#include "support/format.hpp"
#include "support/log.hpp"
#include "support/text.hpp"

namespace karvel::raw::metadata {
namespace {

// The document of the file's bytes, or nothing (after a warning).
std::optional<xml::Document> load(std::string_view path, std::span<const std::uint8_t> bytes) {
  auto text = utf8_text_logged(path, bytes);
  if (!text) return std::nullopt;
  return parse_xml_logged(path, *text);
}

}  // namespace

void warn_about_file(std::string_view path, std::string_view what, const Error& error) {
  log::emit(log::Level::Warn, log::kMetadataTarget,
            [&] { return str_cat(to_utf8_lossy(path), ": ", what, ": ", error.text()); });
}

std::optional<std::string_view> utf8_text_logged(std::string_view path,
                                                 std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (is_valid_utf8(text)) return text;
  warn_about_file(path, "read failed", Error::io_other("stream did not contain valid UTF-8"));
  return std::nullopt;
}

std::optional<xml::Document> parse_xml_logged(std::string_view path, std::string_view text) {
  auto document = xml::parse(text);
  if (document) return std::move(*document);
  warn_about_file(path, "XML parse failed", document.error());
  return std::nullopt;
}

std::optional<std::string> child_text(xml::Element element, std::string_view name) {
  xml::Element found = xml::first_child(element, name);
  if (!found) return std::nullopt;
  return xml::trimmed_text(found);
}

std::optional<DeviceInfo> parse_devices_xml(std::string_view path,
                                            std::span<const std::uint8_t> bytes) {
  auto document = load(path, bytes);
  if (!document) return std::nullopt;
  xml::Element device = xml::first_element(*document, "Device");
  if (!device) return std::nullopt;
  auto name = child_text(device, "Name");
  if (!name) return std::nullopt;
  auto model = child_text(device, "ModelNumber");
  if (!model || name->empty() || model->empty()) return std::nullopt;
  return DeviceInfo{std::move(*name), std::move(*model)};
}

std::optional<std::string> parse_acquired_time(std::string_view path,
                                               std::span<const std::uint8_t> bytes) {
  auto document = load(path, bytes);
  if (!document) return std::nullopt;
  auto time = child_text(document->root(), "AcquiredTime");
  if (!time || time->empty()) return std::nullopt;
  return time;
}

}  // namespace karvel::raw::metadata
