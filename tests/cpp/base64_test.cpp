#include "export/base64.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace karvel::exporter {
namespace {

std::string encode(std::string_view text) {
  std::string out = "prefix:";
  base64_append(out, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  return out;
}

TEST(Base64, StandardVectors) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(encode(text), "prefix:" + std::string(expected)) << text;
    EXPECT_EQ(base64_length(text.size()), expected.size());
  }
}

// OpenSSL's decoder reads back every length and every byte value.
TEST(Base64, RoundTripThroughAnIndependentDecoder) {
  std::mt19937 random(12345);
  for (std::size_t length : {1u, 2u, 3u, 4u, 5u, 63u, 64u, 65u, 1000u, 4096u, 10001u}) {
    std::vector<std::uint8_t> bytes(length);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(random());
    std::string text;
    base64_append(text, bytes);
    ASSERT_EQ(text.size(), base64_length(length));
    std::vector<std::uint8_t> decoded(text.size() / 4 * 3);
    const int got = EVP_DecodeBlock(decoded.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                    static_cast<int>(text.size()));
    ASSERT_EQ(static_cast<std::size_t>(got), decoded.size()) << length;
    decoded.resize(length);  // EVP_DecodeBlock keeps the padding's zero bytes
    EXPECT_EQ(decoded, bytes) << length;
  }
}

}  // namespace
}  // namespace karvel::exporter
