#include "raw/read_bytes.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>
#include <vector>

namespace karvel::raw {
namespace {

using Bytes = std::vector<std::uint8_t>;

class ReadBytesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "karvel_read_bytes_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& path : created_) ::unlink(path.c_str());
    ::rmdir(dir_.c_str());
  }

  std::string write_file(const std::string& name, const std::string& content) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    created_.push_back(path);
    return path;
  }

  // Bytes 0, 1, ..., 99.
  std::string hundred_byte_file() {
    std::string content;
    for (int i = 0; i < 100; ++i) content.push_back(static_cast<char>(i));
    return write_file("data.bin", content);
  }

  std::string dir_;
  std::vector<std::string> created_;
};

std::size_t open_descriptor_count() {
  std::size_t count = 0;
  DIR* dir = ::opendir("/proc/self/fd");
  while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

TEST_F(ReadBytesTest, ReadsExactRanges) {
  std::string path = hundred_byte_file();
  EXPECT_EQ(read_bytes(path, 10, 4).value(), (Bytes{10, 11, 12, 13}));
  EXPECT_EQ(read_bytes(path, 0, 100).value().size(), 100u);
  EXPECT_EQ(read_bytes(path, 99, 1).value(), Bytes{99});
  // Nothing requested at or beyond the end: an empty list.
  EXPECT_EQ(read_bytes(path, 100, 0).value(), Bytes{});
  EXPECT_EQ(read_bytes(path, 5000, 0).value(), Bytes{});
}

TEST_F(ReadBytesTest, RangePastEndIsParseError) {
  std::string path = hundred_byte_file();
  auto past = read_bytes(path, 95, 10);
  ASSERT_FALSE(past.has_value());
  EXPECT_EQ(past.error().kind(), Error::Kind::Parse);
  EXPECT_EQ(past.error().text(), "read_bytes: requested 10 bytes at offset 95 but " + path +
                                     " has only 5 bytes remaining");
  // offset + byte_count would wrap around 64 bits; remaining is 0.
  auto wrap = read_bytes(path, UINT64_MAX, 2);
  ASSERT_FALSE(wrap.has_value());
  EXPECT_EQ(wrap.error().text(), "read_bytes: requested 2 bytes at offset 18446744073709551615 but " +
                                     path + " has only 0 bytes remaining");
  auto huge = read_bytes(path, 1, UINT64_MAX);
  ASSERT_FALSE(huge.has_value());
  EXPECT_EQ(huge.error().kind(), Error::Kind::Parse);
}

TEST_F(ReadBytesTest, PathInMessageIsLossyUtf8) {
  std::string path = write_file("bad\xFFname.bin", "abc");
  auto result = read_bytes(path, 0, 4);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().text(), "read_bytes: requested 4 bytes at offset 0 but " + dir_ +
                                       "/bad\xEF\xBF\xBDname.bin has only 3 bytes remaining");
  EXPECT_EQ(read_bytes(path, 1, 2).value(), (Bytes{'b', 'c'}));
}

TEST_F(ReadBytesTest, OperatingSystemFailuresAreIoErrors) {
  auto missing = read_bytes(dir_ + "/missing.bin", 0, 1);
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
  EXPECT_EQ(missing.error().os_code(), ENOENT);
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory (os error 2)");

  // A directory opens, but reading from it fails.
  auto directory = read_whole_file(dir_);
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().os_code(), EISDIR);

  EXPECT_EQ(read_whole_file(dir_ + "/missing.bin").error().os_code(), ENOENT);
  EXPECT_EQ(read_utf8_file(dir_ + "/missing.bin").error().os_code(), ENOENT);
}

// Every way of reading names the file a system failure concerns, so that
// the caller need not know which file an operation opened.
TEST_F(ReadBytesTest, SystemFailuresNameTheirFile) {
  const std::string missing = dir_ + "/missing.bin";
  const std::vector<std::pair<std::string, Result<std::vector<std::uint8_t>>>> cases = {
      {missing, read_bytes(missing, 0, 1)},
      {missing, read_whole_file(missing)},
      {dir_, read_whole_file(dir_)},
  };
  for (const auto& [path, result] : cases) {
    ASSERT_FALSE(result.has_value()) << path;
    EXPECT_EQ(result.error().path(), path);
  }
  EXPECT_EQ(read_utf8_file(missing).error().path(), missing);
}

TEST_F(ReadBytesTest, NoDescriptorStaysOpen) {
  std::string path = hundred_byte_file();
  std::string text = write_file("text.txt", "plain");
  std::string bad = write_file("bad.txt", "\xC3");
  std::size_t before = open_descriptor_count();
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(read_bytes(path, 1, 2).has_value());
    ASSERT_FALSE(read_bytes(path, 99, 2).has_value());
    ASSERT_FALSE(read_bytes(dir_ + "/missing.bin", 0, 1).has_value());
    ASSERT_TRUE(read_whole_file(path).has_value());
    ASSERT_FALSE(read_whole_file(dir_).has_value());
    ASSERT_TRUE(read_utf8_file(text).has_value());
    ASSERT_FALSE(read_utf8_file(bad).has_value());
  }
  EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(ReadBytesTest, WholeFiles) {
  std::string path = hundred_byte_file();
  Bytes all = read_whole_file(path).value();
  ASSERT_EQ(all.size(), 100u);
  EXPECT_EQ(all[42], 42);
  EXPECT_EQ(read_whole_file(write_file("empty.bin", "")).value(), Bytes{});
  std::string large(300000, 'q');
  large[123456] = 'x';
  EXPECT_EQ(read_whole_file(write_file("large.bin", large)).value(), Bytes(large.begin(), large.end()));
  // Files whose reported size is 0 are read to their end all the same.
  EXPECT_FALSE(read_whole_file("/proc/self/status").value().empty());
}

TEST_F(ReadBytesTest, Utf8Files) {
  EXPECT_EQ(read_utf8_file(write_file("ok.txt", "m/z \xC3\xA9t\xC3\xA9")).value(), "m/z \xC3\xA9t\xC3\xA9");
  EXPECT_EQ(read_utf8_file(write_file("empty.txt", "")).value(), "");
  for (const char* content : {"ab\xFF", "\xC3", "\xED\xA0\x80", "x\xC0\xAFy"}) {
    auto result = read_utf8_file(write_file("invalid.txt", content));
    ASSERT_FALSE(result.has_value()) << content;
    EXPECT_EQ(result.error().kind(), Error::Kind::Io);
    EXPECT_EQ(result.error().os_code(), 0);
    EXPECT_EQ(result.error().text(), "stream did not contain valid UTF-8");
  }
}

}  // namespace
}  // namespace karvel::raw
