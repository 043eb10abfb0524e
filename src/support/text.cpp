#include "support/text.hpp"

#include <cstdint>

#include <utf8proc.h>

namespace karvel {
namespace {

std::uint8_t byte_at(std::string_view text, std::size_t pos) {
  return static_cast<std::uint8_t>(text[pos]);
}

}  // namespace

std::size_t decode_code_point(std::string_view text, std::size_t pos, char32_t* code_point) {
  const std::uint8_t lead = byte_at(text, pos);
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  }
  std::size_t needed;
  std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
  char32_t value;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    *code_point = 0xFFFD;
    return 1;
  }
  std::size_t length = 1;
  for (std::size_t i = 0; i < needed; ++i) {
    if (pos + length >= text.size()) {
      *code_point = 0xFFFD;
      return length;
    }
    const std::uint8_t next = byte_at(text, pos + length);
    const std::uint8_t lo = i == 0 ? low : 0x80;
    const std::uint8_t hi = i == 0 ? high : 0xBF;
    if (next < lo || next > hi) {
      *code_point = 0xFFFD;
      return length;
    }
    value = (value << 6) | (next & 0x3F);
    ++length;
  }
  *code_point = value;
  return length;
}

bool is_valid_utf8(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    std::size_t length = decode_code_point(text, pos, &c);
    if (c == 0xFFFD && text.substr(pos, length) != kReplacementCharacter) return false;
    pos += length;
  }
  return true;
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string to_utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_code_point(text, [&out](char32_t, std::string_view bytes) { out.append(bytes); });
  return out;
}

bool is_printable(char32_t c) {
  if (c == U' ') return true;
  if (c > 0x10FFFF) return false;
  switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return false;
    default:
      return true;
  }
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

std::string_view trim_white_space(std::string_view text) {
  // Leading: decode forward.
  std::size_t begin = 0;
  while (begin < text.size()) {
    char32_t c;
    std::size_t length = decode_code_point(text, begin, &c);
    if (!is_white_space(c)) break;
    begin += length;
  }
  // Trailing: white space characters are at most three bytes long, so
  // step back to the start of the last code point and test it.
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80 &&
           end - start < 4) {
      --start;
    }
    char32_t c;
    std::size_t length = decode_code_point(text, start, &c);
    if (start + length != end || !is_white_space(c)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace karvel
