#include "export/base64.hpp"

namespace karvel::exporter {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void base64_append(std::string& out, std::span<const std::uint8_t> bytes) {
  const std::size_t start = out.size();
  out.resize(start + base64_length(bytes.size()));
  char* write = out.data() + start;
  const std::uint8_t* read = bytes.data();
  const std::size_t whole = bytes.size() / 3 * 3;
  for (std::size_t i = 0; i < whole; i += 3, read += 3, write += 4) {
    const std::uint32_t group = (std::uint32_t{read[0]} << 16) | (std::uint32_t{read[1]} << 8) | read[2];
    write[0] = kAlphabet[group >> 18];
    write[1] = kAlphabet[(group >> 12) & 63];
    write[2] = kAlphabet[(group >> 6) & 63];
    write[3] = kAlphabet[group & 63];
  }
  const std::size_t rest = bytes.size() - whole;
  if (rest == 0) return;
  const std::uint32_t group = (std::uint32_t{read[0]} << 16) | (rest == 2 ? std::uint32_t{read[1]} << 8 : 0);
  write[0] = kAlphabet[group >> 18];
  write[1] = kAlphabet[(group >> 12) & 63];
  write[2] = rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
  write[3] = '=';
}

}  // namespace karvel::exporter
