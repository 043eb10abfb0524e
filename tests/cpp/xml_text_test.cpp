#include "export/xml_text.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace karvel::exporter {
namespace {

TEST(XmlText, Escaping) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"plain text", "plain text"},
      {"a & b < c > d \"e\" 'f'", "a &amp; b &lt; c &gt; d &quot;e&quot; 'f'"},
      {"tab\there\nline\rreturn", "tab&#9;here&#10;line&#13;return"},
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // UTF-8 kept
      {"bad\xFF" "byte", "bad\xEF\xBF\xBD" "byte"},             // invalid UTF-8
      {"cut\xE2\x82", "cut\xEF\xBF\xBD"},                       // truncated sequence
      {std::string_view("nul\0bell\x07", 9), "nul\xEF\xBF\xBD" "bell\xEF\xBF\xBD"},
      {"\xEF\xBF\xBE", "\xEF\xBF\xBD"},                         // U+FFFE
  };
  for (const auto& [text, expected] : cases) {
    std::string out = ">";
    append_xml_escaped(out, text);
    EXPECT_EQ(out, ">" + std::string(expected)) << text;
  }
}

TEST(XmlText, NumbersReadBackExactly) {
  const std::pair<double, std::string_view> cases[] = {
      {0.5, "0.5"},   {12.0, "12"},      {-0.0, "-0"},    {1e20, "1e+20"},
      {0.1, "0.1"},   {123.456, "123.456"}, {1.5e-7, "1.5e-07"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const auto& [value, expected] : cases) {
    std::string out;
    append_number(out, value);
    EXPECT_EQ(out, expected);
  }
  for (double value : {1.0 / 3.0, 401.123456789012345, 5e-324, 1.7976931348623157e308}) {
    std::string out;
    append_number(out, value);
    double back = 0;
    std::from_chars(out.data(), out.data() + out.size(), back);
    EXPECT_EQ(back, value) << out;
  }
  std::string single;
  append_number(single, 0.1f);
  EXPECT_EQ(single, "0.1");
  std::string count;
  append_number(count, std::uint64_t{18446744073709551615u});
  EXPECT_EQ(count, "18446744073709551615");
}

TEST(XmlText, Ids) {
  EXPECT_EQ(to_xml_id("run_01"), "run_01");
  EXPECT_EQ(to_xml_id("2024 run:a/b"), "_2024_run_a_b");
  EXPECT_EQ(to_xml_id(""), "_");
  EXPECT_EQ(to_xml_id("-x.d"), "_-x.d");
}

TEST(XmlText, DateTimes) {
  for (std::string_view good : {"2024-01-15T10:30:00", "2024-01-15T10:30:00Z", "2024-01-15T10:30:00.125+02:00",
                                "-0044-03-15T12:00:00-05:30", "12024-01-01T00:00:00"}) {
    EXPECT_TRUE(is_xml_date_time(good)) << good;
  }
  for (std::string_view bad : {"", "2024-01-15", "2024-01-15 10:30:00", "15/01/2024 10:30", "2024-13-01T00:00:00",
                               "2024-01-15T10:30:00.", "2024-01-15T10:30:00+2:00", "2024-01-15T10:30:00Zjunk",
                               "02024-01-01T00:00:00", "2024-01-15T10:61:00"}) {
    EXPECT_FALSE(is_xml_date_time(bad)) << bad;
  }
}

}  // namespace
}  // namespace karvel::exporter
