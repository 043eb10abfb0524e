#include "support/text.hpp"

#include <gtest/gtest.h>
#include <utf8proc.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace karvel {
namespace {

constexpr std::string_view kFFFD = "\xEF\xBF\xBD";

TEST(Utf8Lossy, ValidTextIsUnchanged) {
  EXPECT_EQ(to_utf8_lossy("run1.d"), "run1.d");
  EXPECT_EQ(to_utf8_lossy("Läufe 日本 🎉"), "Läufe 日本 🎉");
  EXPECT_TRUE(is_valid_utf8("Läufe 日本 🎉"));
}

TEST(Utf8Lossy, EachMaximalInvalidSubpartBecomesOneReplacement) {
  EXPECT_EQ(to_utf8_lossy("a\xFF" "b"), std::string("a") + std::string(kFFFD) + "b");
  // A truncated three-byte sequence is one subpart.
  EXPECT_EQ(to_utf8_lossy("\xE6\x97"), std::string(kFFFD));
  // Surrogates and overlong forms are invalid byte by byte.
  EXPECT_EQ(to_utf8_lossy("\xED\xA0\x80"), std::string(kFFFD) + std::string(kFFFD) + std::string(kFFFD));
  EXPECT_EQ(to_utf8_lossy("\xC0\xAF"), std::string(kFFFD) + std::string(kFFFD));
  EXPECT_EQ(to_utf8_lossy("\xF4\x90\x80\x80"),
            std::string(kFFFD) + std::string(kFFFD) + std::string(kFFFD) + std::string(kFFFD));
  EXPECT_FALSE(is_valid_utf8("\xF0\x9F\x8E"));
  EXPECT_TRUE(is_valid_utf8(kFFFD));
}

TEST(TrimWhiteSpace, UnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(trim_white_space("  12 \n"), "12");
  EXPECT_EQ(trim_white_space("\t\r\n QTOF\xE3\x80\x80"), "QTOF");  // ideographic space
  EXPECT_EQ(trim_white_space("\xC2\xA0x y\xC2\xA0"), "x y");
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space(""), "");
  EXPECT_EQ(trim_white_space("日本"), "日本");
  EXPECT_EQ(trim_white_space("\xFF "), "\xFF");
}

// Python's str.isprintable is the reference: the same general categories
// (Cc, Cf, Cs, Co, Cn, Zs, Zl, Zp and not U+0020) are non-printable. The two
// character databases may be of different Unicode versions; code points that
// one of them has assigned and the other not are left out of the comparison.
TEST(IsPrintable, AgreesWithPythonOnEveryCodePointBothHaveAssignedAlike) {
  std::ifstream in(KARVEL_PRINTABLE_TABLE, std::ios::binary);
  ASSERT_TRUE(in) << KARVEL_PRINTABLE_TABLE;
  std::string version;
  std::getline(in, version);
  const std::vector<char> table((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(table.size(), 0x110000u);
  std::size_t compared = 0;
  std::size_t skipped = 0;
  std::size_t mismatches = 0;
  for (char32_t c = 0; c < 0x110000; ++c) {
    const bool python_printable = (table[c] & 1) != 0;
    const bool python_unassigned = (table[c] & 2) != 0;
    const bool ours_unassigned =
        utf8proc_category(static_cast<utf8proc_int32_t>(c)) == UTF8PROC_CATEGORY_CN;
    if (python_unassigned != ours_unassigned) {
      ++skipped;
      continue;
    }
    ++compared;
    if (is_printable(c) != python_printable && ++mismatches <= 20) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(c) << ": Python says "
                    << (python_printable ? "printable" : "not printable");
    }
  }
  EXPECT_EQ(mismatches, 0u);
  // Unicode versions differ by a few thousand newly assigned code points at
  // most; more would mean a broken table.
  EXPECT_LT(skipped, 40000u) << "Python " << version << ", utf8proc " << utf8proc_unicode_version();
  EXPECT_GT(compared, 0x110000u - 40000u);
}

TEST(IsPrintable, CategoriesThatAreEscaped) {
  const struct {
    char32_t code_point;
    bool printable;
  } cases[] = {
      {U' ', true},        {U'a', true},        {0x00E9, true},      {0x65E5, true},
      {0x1F389, true},     {0x0300, true},      {0x0000, false},     {0x001F, false},
      {0x007F, false},     {0x0085, false},     {0x00A0, false},     {0x00AD, false},
      {0x0378, false},     {0x0600, false},     {0x2000, false},     {0x2028, false},
      {0x2029, false},     {0x3000, false},     {0xD800, false},     {0xE000, false},
      {0xFEFF, false},     {0xFFFE, false},     {0xFFFF, false},     {0xE0001, false},
      {0xF0000, false},    {0x10FFFD, false},   {0x110000, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_printable(c.code_point), c.printable) << std::hex << static_cast<std::uint32_t>(c.code_point);
  }
}

}  // namespace
}  // namespace karvel
