// UTF-8 handling shared by messages, paths and XML text.
#pragma once

#include <string>
#include <string_view>

namespace karvel {

// Calls visit(code_point, bytes) for every code point of text. Each maximal
// invalid UTF-8 subpart is visited once as U+FFFD, with bytes holding the
// replacement character's own encoding.
template <class Visit>
void for_each_code_point(std::string_view text, Visit&& visit);

// Decodes one code point at text[pos]; returns its length in bytes, or the
// length of the maximal invalid subpart with *code_point = U+FFFD.
std::size_t decode_code_point(std::string_view text, std::size_t pos, char32_t* code_point);

bool is_valid_utf8(std::string_view text);
// The text with every maximal invalid subpart replaced by U+FFFD.
std::string to_utf8_lossy(std::string_view text);
void append_utf8(std::string& out, char32_t code_point);

// False for the Unicode general categories Other (Cc, Cf, Cs, Co, Cn: control,
// format, surrogate, private use, unassigned) and Separator (Zs, Zl, Zp),
// except U+0020 SPACE, and for values above U+10FFFF; such characters are
// escaped when text is quoted. Categories come from utf8proc's character
// database, so code points assigned after its Unicode version count as
// unassigned.
bool is_printable(char32_t code_point);
// Unicode white space (the White_Space property).
bool is_white_space(char32_t code_point);
// The text without white space at either end.
std::string_view trim_white_space(std::string_view text);

inline constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

template <class Visit>
void for_each_code_point(std::string_view text, Visit&& visit) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c;
    std::size_t length = decode_code_point(text, pos, &c);
    if (c == 0xFFFD && text.substr(pos, length) != kReplacementCharacter) {
      visit(c, kReplacementCharacter);
    } else {
      visit(c, text.substr(pos, length));
    }
    pos += length;
  }
}

}  // namespace karvel
