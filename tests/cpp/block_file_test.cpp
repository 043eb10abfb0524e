#include "raw/block_file.hpp"

#include <gtest/gtest.h>

#include <string>

#include "raw/read_bytes.hpp"
#include "reader_test_folder.hpp"

namespace karvel::raw {
namespace {

using karvel::testing::TestFolder;

std::vector<std::uint8_t> pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + 7) % 251);
  return bytes;
}

// What read_bytes gives for the range: the bytes, or the error's debug text.
std::string expected(const std::string& path, std::uint64_t offset, std::uint64_t count) {
  auto bytes = read_bytes(path, offset, count);
  return bytes ? std::string(bytes->begin(), bytes->end()) : bytes.error().debug();
}

std::string actual(BlockReader& reader, std::uint64_t offset, std::uint64_t count) {
  auto bytes = reader.read(offset, count);
  return bytes ? std::string(bytes->begin(), bytes->end()) : bytes.error().debug();
}

struct Range {
  std::uint64_t offset, count;
};

TEST(BlockReader, SameBytesAndErrorsAsReadBytes) {
  TestFolder folder;
  const std::size_t size = 3 * BlockReader::kWindowBytes + 123;
  folder.write("data.bin", pattern(size));
  const std::string path = (folder.acq() / "data.bin").string();
  // In this order: neighbours inside one window, a step back, a range
  // across the window's end, blocks larger than the window, the file's
  // end, ranges past it, and reads after a failure.
  const Range ranges[] = {
      {0, 16},       {16, 1},          {17, 0},         {100, 4000},     {8, 8},
      {65530, 20},   {65536, 40000},   {70000, 200000}, {size - 10, 10}, {size - 10, 11},
      {size, 0},     {size + 5, 1},    {~0ull, 1},      {0, 1},          {size - 1, 1},
      {1ull << 62, 0}, {32767, 32768}, {40, 32767},
  };
  BlockReader reader(OpenFile::open(path));
  for (const Range& range : ranges) {
    EXPECT_EQ(actual(reader, range.offset, range.count), expected(path, range.offset, range.count))
        << range.offset << "+" << range.count;
  }
  // Neighbouring blocks through the whole file, as a pass reads them: the
  // window grows, and each block is still its own bytes.
  BlockReader pass(OpenFile::open(path));
  for (std::uint64_t offset = 0; offset < size; offset += 24000) {
    const std::uint64_t count = std::min<std::uint64_t>(24000, size - offset);
    ASSERT_EQ(actual(pass, offset, count), expected(path, offset, count)) << offset;
  }
}

TEST(BlockReader, MissingFileFailsEveryReadLikeReadBytes) {
  TestFolder folder;
  const std::string path = (folder.acq() / "absent.bin").string();
  BlockReader reader(OpenFile::open(path));
  for (const Range& range : {Range{0, 0}, Range{0, 10}, Range{5, 1}}) {
    EXPECT_EQ(actual(reader, range.offset, range.count), expected(path, range.offset, range.count));
    auto read = reader.read(range.offset, range.count);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().path(), path) << "the failure names the file";
  }
}

TEST(BlockReader, ReadersOfOneFileAreIndependent) {
  TestFolder folder;
  folder.write("data.bin", pattern(1000));
  const std::string path = (folder.acq() / "data.bin").string();
  auto file = OpenFile::open(path);
  BlockReader first(file), second(file);
  auto a = first.read(10, 5);
  ASSERT_TRUE(a);
  const std::string kept(a->begin(), a->end());
  ASSERT_TRUE(second.read(900, 50));
  EXPECT_EQ(std::string(a->begin(), a->end()), kept) << "a read of another reader leaves this one's bytes";
  EXPECT_EQ(kept, expected(path, 10, 5));
}

}  // namespace
}  // namespace karvel::raw
