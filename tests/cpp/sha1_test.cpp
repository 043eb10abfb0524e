#include "export/sha1.hpp"

#include <gtest/gtest.h>

#include <string>

#include "reader_test_folder.hpp"

namespace karvel::exporter {
namespace {

std::string sha1_hex(std::string_view text, std::size_t piece) {
  auto sha1 = Sha1::create();
  EXPECT_TRUE(sha1);
  for (std::size_t pos = 0; pos < text.size(); pos += piece) {
    EXPECT_TRUE(sha1->update(text.substr(pos, piece)));
  }
  return to_hex(sha1->finish().value());
}

TEST(Sha1, KnownDigestsWhateverThePieces) {
  const std::string million(1000000, 'a');
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {million, "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  for (const auto& [text, expected] : cases) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{64}, std::size_t{1} << 20}) {
      if (text.size() > 1000 && piece == 1) continue;
      EXPECT_EQ(sha1_hex(text, piece), expected) << text.size() << " in pieces of " << piece;
    }
  }
}

TEST(Sha1, OfAFileAndOfAMissingFile) {
  karvel::testing::TestFolder folder;
  folder.write("file.bin", std::string(3000000, 'a') + "abc");
  auto digest = sha1_of_file((folder.acq() / "file.bin").string());
  ASSERT_TRUE(digest);
  EXPECT_EQ(to_hex(*digest), sha1_hex(std::string(3000000, 'a') + "abc", 65536));
  auto missing = sha1_of_file((folder.acq() / "missing.bin").string());
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().kind(), Error::Kind::Io);
}

}  // namespace
}  // namespace karvel::exporter
