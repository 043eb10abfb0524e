#include "export/xml_text.hpp"

#include <charconv>
#include <cmath>

#include "support/text.hpp"

namespace karvel::exporter {
namespace {

bool allowed_in_xml(char32_t c) {
  if (c < 0x20) return c == 0x09 || c == 0x0A || c == 0x0D;
  return c != 0xFFFE && c != 0xFFFF;
}

bool plain_byte(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '&' && c != '<' && c != '>' && c != '"';
}

template <class Float>
void append_float(std::string& out, Float value) {
  if (std::isnan(value)) {
    out.append("NaN");
  } else if (std::isinf(value)) {
    out.append(value < 0 ? "-INF" : "INF");
  } else {
    char buffer[32];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    out.append(buffer, end);
  }
}

template <class Int>
void append_integer(std::string& out, Int value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;
  out.append(buffer, end);
}

bool digits(std::string_view text, std::size_t pos, std::size_t count) {
  if (pos + count > text.size()) return false;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

bool at(std::string_view text, std::size_t pos, char c) { return pos < text.size() && text[pos] == c; }

}  // namespace

void append_xml_escaped(std::string& out, std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (plain_byte(byte)) {
      std::size_t end = pos + 1;
      while (end < text.size() && plain_byte(static_cast<unsigned char>(text[end]))) ++end;
      out.append(text.substr(pos, end - pos));
      pos = end;
      continue;
    }
    switch (byte) {
      case '&': out.append("&amp;"); ++pos; continue;
      case '<': out.append("&lt;"); ++pos; continue;
      case '>': out.append("&gt;"); ++pos; continue;
      case '"': out.append("&quot;"); ++pos; continue;
      case '\t': out.append("&#9;"); ++pos; continue;
      case '\n': out.append("&#10;"); ++pos; continue;
      case '\r': out.append("&#13;"); ++pos; continue;
      default: break;
    }
    char32_t code_point;
    const std::size_t length = decode_code_point(text, pos, &code_point);
    const bool invalid = code_point == 0xFFFD && text.substr(pos, length) != kReplacementCharacter;
    if (invalid || !allowed_in_xml(code_point)) {
      out.append(kReplacementCharacter);
    } else {
      out.append(text.substr(pos, length));
    }
    pos += length;
  }
}

void append_number(std::string& out, double value) { append_float(out, value); }
void append_number(std::string& out, float value) { append_float(out, value); }
void append_number(std::string& out, std::uint64_t value) { append_integer(out, value); }
void append_number(std::string& out, std::int64_t value) { append_integer(out, value); }

std::string to_xml_id(std::string_view name) {
  std::string id;
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (name.empty() || !(letter(name.front()) || name.front() == '_')) id.push_back('_');
  for (char c : name) {
    const bool keep = letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    id.push_back(keep ? c : '_');
  }
  return id;
}

bool is_xml_date_time(std::string_view text) {
  std::size_t pos = at(text, 0, '-') ? 1 : 0;
  // Years of more than four digits are allowed, without leading zeros.
  std::size_t year = 0;
  while (digits(text, pos + year, 1)) ++year;
  if (year < 4 || (year > 4 && text[pos] == '0')) return false;
  pos += year;
  if (!(at(text, pos, '-') && digits(text, pos + 1, 2) && at(text, pos + 3, '-') &&
        digits(text, pos + 4, 2) && at(text, pos + 6, 'T') && digits(text, pos + 7, 2) &&
        at(text, pos + 9, ':') && digits(text, pos + 10, 2) && at(text, pos + 12, ':') &&
        digits(text, pos + 13, 2))) {
    return false;
  }
  const auto two = [&](std::size_t p) { return (text[p] - '0') * 10 + (text[p + 1] - '0'); };
  const int month = two(pos + 1), day = two(pos + 4), hour = two(pos + 7), minute = two(pos + 10),
            second = two(pos + 13);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 24 || minute > 59 || second > 59) {
    return false;
  }
  pos += 15;
  if (at(text, pos, '.')) {
    ++pos;
    if (!digits(text, pos, 1)) return false;
    while (digits(text, pos, 1)) ++pos;
  }
  if (pos == text.size()) return true;
  if (at(text, pos, 'Z')) return pos + 1 == text.size();
  if (!(at(text, pos, '+') || at(text, pos, '-'))) return false;
  return pos + 6 == text.size() && digits(text, pos + 1, 2) && at(text, pos + 3, ':') &&
         digits(text, pos + 4, 2) && two(pos + 1) <= 14 && two(pos + 4) <= 59;
}

}  // namespace karvel::exporter
