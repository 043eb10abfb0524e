#include "raw/xml.hpp"

#include <algorithm>
#include <cstdint>
#include <expected>
#include <vector>

#include "support/format.hpp"
#include "support/text.hpp"

namespace karvel::raw::xml {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// pugixml does the tokenising; everything outside elements is kept
// (fragment mode) so that the checks below can see it, and references are
// left undecoded so that unknown ones can be rejected.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_eol |
                                   pugi::parse_wconv_attribute | pugi::parse_ws_pcdata |
                                   pugi::parse_doctype | pugi::parse_fragment |
                                   pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_declaration;

// " at line:column" for a byte offset of text, both counted from 1, columns
// in code points.
std::string position(std::string_view text, std::size_t offset) {
  offset = std::min(offset, text.size());
  std::string_view before = text.substr(0, offset);
  std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  std::size_t line_start = before.rfind('\n');
  line_start = line_start == std::string_view::npos ? 0 : line_start + 1;
  std::size_t column = 1;
  for_each_code_point(before.substr(line_start), [&column](char32_t, std::string_view) { ++column; });
  return str_cat(" at ", line, ":", column);
}

std::unexpected<Error> fail_at(std::string_view text, std::size_t offset, std::string_view what) {
  return parse_error(str_cat(what, position(text, offset)));
}

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_xml_char(char32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
         (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// The offset of the first control character that XML does not allow
// anywhere in a document (pugixml would take a NUL for the end of input).
std::optional<std::size_t> find_forbidden_control(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 && !is_xml_space(text[i])) return i;
  }
  return std::nullopt;
}

// The code point of a character reference body ("#65" or "#x41"), or
// nothing when it is malformed or names a character XML does not allow.
std::optional<char32_t> character_reference(std::string_view body) {
  if (body.size() < 2 || body[0] != '#') return std::nullopt;
  const bool hex = body[1] == 'x';
  std::string_view digits = body.substr(hex ? 2 : 1);
  if (digits.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : digits) {
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (hex && c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (hex && c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * (hex ? 16 : 10) + digit;
    if (value > 0x10FFFF) return std::nullopt;
  }
  if (!is_xml_char(value)) return std::nullopt;
  return value;
}

std::optional<char> predefined_entity(std::string_view name) {
  if (name == "lt") return '<';
  if (name == "gt") return '>';
  if (name == "amp") return '&';
  if (name == "apos") return '\'';
  if (name == "quot") return '"';
  return std::nullopt;
}

// raw with its entity and character references replaced; the error is the
// offset in raw of the offending character. In attribute values a literal
// "<" is an error too.
std::expected<std::string, std::size_t> decode_references(std::string_view raw,
                                                           bool attribute_value) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const char c = raw[i];
    if (c == '<' && attribute_value) return std::unexpected(i);
    if (c != '&') {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::size_t end = raw.find(';', i + 1);
    if (end == std::string_view::npos) return std::unexpected(i);
    const std::string_view body = raw.substr(i + 1, end - i - 1);
    if (auto code_point = character_reference(body)) {
      append_utf8(out, *code_point);
    } else if (auto replacement = predefined_entity(body)) {
      out.push_back(*replacement);
    } else {
      return std::unexpected(i);
    }
    i = end + 1;
  }
  return out;
}

// Byte offset of a node's name or value inside the parsed text.
std::size_t node_offset(pugi::xml_node node) {
  const std::ptrdiff_t offset = node.offset_debug();
  return offset < 0 ? 0 : static_cast<std::size_t>(offset);
}

// Decodes the references of the node's value in place.
Result<void> decode_value(std::string_view text, pugi::xml_node node) {
  std::string_view raw = node.value();
  if (raw.find('&') == std::string_view::npos) return {};
  auto decoded = decode_references(raw, false);
  if (!decoded) return fail_at(text, node_offset(node) + decoded.error(), "invalid reference");
  node.set_value(decoded->c_str());
  return {};
}

// The first attribute name of element that an earlier attribute already has.
std::optional<std::string_view> duplicated_attribute(pugi::xml_node element) {
  std::vector<std::string_view> names;
  for (pugi::xml_attribute attribute : element.attributes()) names.emplace_back(attribute.name());
  if (names.size() < 2) return std::nullopt;
  std::sort(names.begin(), names.end());
  auto duplicate = std::adjacent_find(names.begin(), names.end());
  if (duplicate == names.end()) return std::nullopt;
  return *duplicate;
}

// Attribute names must be unique; values must be free of "<" and have
// valid references, which are decoded in place.
Result<void> check_attributes(std::string_view text, pugi::xml_node element) {
  if (auto duplicate = duplicated_attribute(element)) {
    return fail_at(text, node_offset(element),
                   str_cat("duplicated attribute ", format_quoted(*duplicate)));
  }
  for (pugi::xml_attribute attribute : element.attributes()) {
    std::string_view raw = attribute.value();
    if (raw.find_first_of("&<") == std::string_view::npos) continue;
    auto decoded = decode_references(raw, true);
    if (!decoded) {
      return fail_at(text, node_offset(element),
                     str_cat("invalid value of attribute ", format_quoted(attribute.name())));
    }
    attribute.set_value(decoded->c_str());
  }
  return {};
}

// What may stand outside the root element: one XML declaration first, white
// space, comments and processing instructions; exactly one element.
Result<void> check_top_level(std::string_view text, const pugi::xml_document& doc) {
  std::size_t elements = 0;
  for (pugi::xml_node node : doc.children()) {
    switch (node.type()) {
      case pugi::node_element:
        if (++elements > 1) {
          return fail_at(text, node_offset(node), "unexpected element after the root element");
        }
        break;
      case pugi::node_doctype: {
        // The node's offset is that of its content; report its "<!".
        const std::size_t start = text.rfind("<!", node_offset(node));
        return fail_at(text, start == std::string_view::npos ? 0 : start,
                       "document type declaration is not allowed");
      }
      case pugi::node_declaration:
        if (node != doc.first_child()) {
          return fail_at(text, node_offset(node), "unexpected XML declaration");
        }
        break;
      case pugi::node_pcdata: {
        std::string_view value = node.value();
        if (!std::all_of(value.begin(), value.end(), is_xml_space)) {
          return fail_at(text, node_offset(node), "unexpected text outside the root element");
        }
        break;
      }
      case pugi::node_cdata:
        return fail_at(text, node_offset(node), "unexpected CDATA outside the root element");
      default:
        break;
    }
  }
  if (elements == 0) return fail_at(text, text.size(), "no root element");
  return {};
}

Result<void> check_and_decode(std::string_view text, const pugi::xml_document& doc) {
  if (auto top = check_top_level(text, doc); !top) return top;
  const pugi::xml_node root = doc.document_element();
  for (pugi::xml_node node = root; node; node = next_in_document_order(node, root)) {
    Result<void> checked;
    if (node.type() == pugi::node_element) {
      checked = check_attributes(text, node);
    } else if (node.type() == pugi::node_pcdata) {
      checked = decode_value(text, node);
    }
    if (!checked) return checked;
  }
  return {};
}

}  // namespace

Result<Document> parse(std::string_view text) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  // pugixml would drop a second mark as well; it is text before the root.
  if (text.starts_with(kByteOrderMark)) {
    return fail_at(text, 0, "unexpected text outside the root element");
  }
  if (auto control = find_forbidden_control(text)) {
    return fail_at(text, *control, "non-XML character");
  }
  auto doc = std::make_unique<pugi::xml_document>();
  const pugi::xml_parse_result result =
      doc->load_buffer(text.data(), text.size(), kParseOptions, pugi::encoding_utf8);
  if (!result) {
    return fail_at(text, static_cast<std::size_t>(std::max<std::ptrdiff_t>(result.offset, 0)),
                   result.description());
  }
  if (auto checked = check_and_decode(text, *doc); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  return Document(std::move(doc));
}

std::string_view local_name(std::string_view qualified_name) {
  const std::size_t colon = qualified_name.rfind(':');
  return colon == std::string_view::npos ? qualified_name : qualified_name.substr(colon + 1);
}

std::string_view local_name(Element element) { return local_name(std::string_view(element.name())); }

Element first_child(Element parent, std::string_view name) {
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_element && local_name(child) == name) return child;
  }
  return {};
}

std::optional<std::string_view> attribute(Element element, std::string_view name) {
  for (pugi::xml_attribute candidate : element.attributes()) {
    std::string_view qualified = candidate.name();
    if (qualified == "xmlns" || qualified.starts_with("xmlns:")) continue;
    if (local_name(qualified) == name) return std::string_view(candidate.value());
  }
  return std::nullopt;
}

std::optional<std::string> text(Element element) {
  auto is_text = [](pugi::xml_node node) {
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
  };
  pugi::xml_node node = element.first_child();
  if (!is_text(node)) return std::nullopt;
  std::string out;
  for (; is_text(node); node = node.next_sibling()) out.append(node.value());
  return out;
}

std::optional<std::string> trimmed_text(Element element) {
  auto raw = text(element);
  if (!raw) return std::nullopt;
  return std::string(trim_white_space(*raw));
}

pugi::xml_node next_in_document_order(pugi::xml_node node, pugi::xml_node top) {
  if (pugi::xml_node child = node.first_child()) return child;
  while (node && node != top) {
    if (pugi::xml_node sibling = node.next_sibling()) return sibling;
    node = node.parent();
  }
  return {};
}

Element first_element(const Document& document, std::string_view name) {
  Element found;
  for_each_element(document, [&](Element element) {
    if (local_name(element) != name) return true;
    found = element;
    return false;
  });
  return found;
}

}  // namespace karvel::raw::xml
