#include "support/text.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace karvel
