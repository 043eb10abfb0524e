#include "raw/lzf.hpp"

#include <gtest/gtest.h>
#include <lzf.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace karvel::raw::lzf {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::string error_text(const Bytes& input, std::uint64_t expected_len) {
  auto result = decompress(input, expected_len);
  if (result) return "ok";
  EXPECT_EQ(result.error().kind(), Error::Kind::Parse);
  return result.error().text();
}

// The stream liblzf's compressor produces; an empty input gives an empty
// stream.
Bytes reference_compress(const Bytes& data) {
  if (data.empty()) return {};
  Bytes out(data.size() + data.size() / 16 + 64);
  unsigned int length = lzf_compress(data.data(), static_cast<unsigned int>(data.size()),
                                     out.data(), static_cast<unsigned int>(out.size()));
  EXPECT_NE(length, 0u) << "liblzf could not compress " << data.size() << " bytes";
  out.resize(length);
  return out;
}

Bytes random_bytes(std::size_t size, std::mt19937& rng) {
  Bytes out(size);
  for (auto& byte : out) byte = static_cast<std::uint8_t>(rng());
  return out;
}

// Runs of bytes and short repeated patterns of every period from 1 to 12,
// so references overlap their own output at every distance.
Bytes repetitive_bytes(std::size_t size, std::mt19937& rng) {
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    std::size_t period = 1 + rng() % 12;
    std::size_t repeats = 1 + rng() % 80;
    Bytes pattern = random_bytes(period, rng);
    for (std::size_t r = 0; r < repeats && out.size() < size; ++r) {
      for (std::uint8_t byte : pattern) {
        if (out.size() == size) break;
        out.push_back(byte);
      }
    }
  }
  return out;
}

// A profile block as stored before compression: x0 and dx, then int32
// intensities with long zero stretches, noise and peaks.
Bytes spectrum_bytes(std::size_t size, std::mt19937& rng) {
  Bytes out(16 + (size + 3) / 4 * 4);
  double x0 = 20345.5;
  double dx = 0.5;
  std::memcpy(out.data(), &x0, 8);
  std::memcpy(out.data() + 8, &dx, 8);
  std::size_t points = (out.size() - 16) / 4;
  std::size_t i = 0;
  while (i < points) {
    std::size_t zeros = rng() % 400;
    i += zeros;  // already zero
    std::size_t width = 3 + rng() % 20;
    double height = std::exp(std::uniform_real_distribution<double>(0, 14)(rng));
    for (std::size_t k = 0; k < width && i < points; ++k, ++i) {
      double shape = std::exp(-std::pow((double(k) - width / 2.0) / (width / 5.0), 2));
      std::int32_t value = static_cast<std::int32_t>(height * shape) + static_cast<std::int32_t>(rng() % 7);
      std::memcpy(out.data() + 16 + 4 * i, &value, 4);
    }
  }
  out.resize(size);
  return out;
}

TEST(LzfDecompress, ReproducesReferenceCompressorOutput) {
  const std::size_t sizes[] = {0, 1, 2, 3, 31, 32, 33, 34, 255, 256, 257, 8191,
                               8192, 8193, 65535, 65536, 65537, 1 << 20, (1 << 20) + 7};
  std::mt19937 rng(12345);
  for (std::size_t size : sizes) {
    for (int kind = 0; kind < 4; ++kind) {
      Bytes data = kind == 0   ? random_bytes(size, rng)
                   : kind == 1 ? repetitive_bytes(size, rng)
                   : kind == 2 ? spectrum_bytes(size, rng)
                               : Bytes(size, 0);
      Bytes stream = reference_compress(data);
      auto result = decompress(stream, data.size());
      ASSERT_TRUE(result.has_value()) << "size " << size << " kind " << kind << ": "
                                      << result.error().display();
      ASSERT_EQ(*result, data) << "size " << size << " kind " << kind;
    }
  }
}

TEST(LzfDecompress, TruncatedOrShortenedStreamsFail) {
  std::mt19937 rng(777);
  for (int kind = 0; kind < 3; ++kind) {
    Bytes data = kind == 0 ? random_bytes(700, rng)
                 : kind == 1 ? repetitive_bytes(3000, rng)
                             : spectrum_bytes(5000, rng);
    Bytes stream = reference_compress(data);
    // Every chunk produces output, so every proper prefix falls short.
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
      Bytes prefix(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
      auto result = decompress(prefix, data.size());
      ASSERT_FALSE(result.has_value()) << "kind " << kind << " cut " << cut;
      EXPECT_EQ(result.error().kind(), Error::Kind::Parse);
    }
    // A shorter expected length either fails or yields the prefix, when it
    // ends on a chunk boundary (the rest of the input is then ignored).
    for (std::size_t length = 0; length < data.size(); length += 1 + length / 8) {
      auto result = decompress(stream, length);
      if (result) {
        ASSERT_EQ(*result, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(length)));
      }
    }
  }
}

TEST(LzfDecompress, AgreesWithReferenceDecompressorOnDamagedStreams) {
  std::mt19937 rng(4242);
  Bytes data = spectrum_bytes(4000, rng);
  Bytes stream = reference_compress(data);
  Bytes reference(data.size());
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes damaged = stream;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    auto result = decompress(damaged, data.size());
    unsigned int length = lzf_decompress(damaged.data(), static_cast<unsigned int>(damaged.size()),
                                         reference.data(), static_cast<unsigned int>(reference.size()));
    if (length == data.size()) {
      // liblzf consumed the whole input and filled the output: so must we.
      ASSERT_TRUE(result.has_value()) << result.error().display();
      ASSERT_EQ(*result, reference);
    } else if (result) {
      // We stop once the output is full; liblzf reports the leftover input.
      ASSERT_EQ(length, 0u);
      ASSERT_EQ(errno, E2BIG);
    }
  }
}

TEST(LzfDecompress, LiteralsAndOverlappingReferences) {
  EXPECT_EQ(decompress(Bytes{}, 0).value(), Bytes{});
  EXPECT_EQ(decompress(Bytes{0x02, 'a', 'b', 'c'}, 3).value(), (Bytes{'a', 'b', 'c'}));
  // One literal, then length code 1 at distance 0: three copies of the byte
  // just written.
  EXPECT_EQ(decompress(Bytes{0x00, 'a', 0x20, 0x00}, 4).value(), (Bytes{'a', 'a', 'a', 'a'}));
  // Distance 1 over a two-byte period, with the extended length 7 + 3.
  EXPECT_EQ(decompress(Bytes{0x01, 'x', 'y', 0xE0, 0x03, 0x01}, 14).value(),
            (Bytes{'x', 'y', 'x', 'y', 'x', 'y', 'x', 'y', 'x', 'y', 'x', 'y', 'x', 'y'}));
  // The longest reference: length code 7 + 255, copying 264 bytes.
  Bytes longest = decompress(Bytes{0x00, 'z', 0xE0, 0xFF, 0x00}, 265).value();
  EXPECT_EQ(longest, Bytes(265, 'z'));
  // Input left over once the output is full is ignored.
  EXPECT_EQ(decompress(Bytes{0x01, 'a', 'b', 0xFF, 0xFF, 0xFF}, 2).value(), (Bytes{'a', 'b'}));
}

TEST(LzfDecompress, FarthestReferenceReachesOutputStart) {
  // 8192 literal bytes, then a reference with distance 8191 (high 31, low 255).
  Bytes data(8192);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  Bytes stream;
  for (std::size_t i = 0; i < data.size(); i += 32) {
    stream.push_back(31);
    stream.insert(stream.end(), data.begin() + static_cast<std::ptrdiff_t>(i),
                  data.begin() + static_cast<std::ptrdiff_t>(i + 32));
  }
  Bytes with_reference = stream;
  with_reference.insert(with_reference.end(), {0x3F, 0xFF});  // length 1 + 2, distance 8191
  Bytes expected = data;
  expected.insert(expected.end(), data.begin(), data.begin() + 3);
  EXPECT_EQ(decompress(with_reference, expected.size()).value(), expected);
  // With one byte less produced, distance 8191 points before the start.
  stream.resize(stream.size() - 1);
  stream[stream.size() - 32] = 30;  // the last literal run is one byte shorter
  stream.insert(stream.end(), {0x3F, 0xFF});
  EXPECT_EQ(error_text(stream, 8191 + 3), "LZF: invalid back reference");
}

TEST(LzfDecompress, ErrorMessages) {
  EXPECT_EQ(error_text({}, 4), "LZF: decompressed length 0 != expected 4");
  EXPECT_EQ(error_text({0x02, 'a', 'b', 'c'}, 5), "LZF: decompressed length 3 != expected 5");
  EXPECT_EQ(error_text({0x02, 'a', 'b', 'c'}, 2), "LZF: literal run out of bounds");
  EXPECT_EQ(error_text({0x02, 'a', 'b'}, 3), "LZF: literal run out of bounds");
  EXPECT_EQ(error_text({0x20}, 4), "LZF: invalid back reference");
  EXPECT_EQ(error_text({0x20, 0x00}, 4), "LZF: invalid back reference");
  // The reference check on the high distance bits comes before any byte
  // after the control byte is read.
  EXPECT_EQ(error_text({0xE0}, 4), "LZF: invalid back reference");
  EXPECT_EQ(error_text({0x00, 'a', 0xE0}, 20), "LZF: truncated length byte");
  EXPECT_EQ(error_text({0x00, 'a', 0xE0, 0x01}, 20), "LZF: truncated reference byte");
  EXPECT_EQ(error_text({0x00, 'a', 0x20}, 20), "LZF: truncated reference byte");
  EXPECT_EQ(error_text({0x00, 'a', 0x21, 0x00}, 20), "LZF: invalid back reference");  // high 256
  EXPECT_EQ(error_text({0x00, 'a', 0x20, 0x01}, 20), "LZF: invalid back reference");  // distance 2
  EXPECT_EQ(error_text({0x00, 'a', 0x20, 0x00}, 3), "LZF: match run exceeds output bounds");
  EXPECT_EQ(error_text({0x00, 'a', 0x20, 0x00}, 5), "LZF: decompressed length 4 != expected 5");
}

TEST(LzfDecompress, LengthCap) {
  EXPECT_EQ(error_text({}, 536870913),
            "LZF: expected decompressed length 536870913 exceeds cap of 536870912");
  EXPECT_EQ(error_text({}, UINT64_MAX),
            "LZF: expected decompressed length 18446744073709551615 exceeds cap of 536870912");
  // The cap itself is accepted: the (empty) stream then falls short.
  EXPECT_EQ(error_text({}, 536870912), "LZF: decompressed length 0 != expected 536870912");
}

}  // namespace
}  // namespace karvel::raw::lzf
