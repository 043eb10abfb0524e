#include "export/sha1.hpp"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

namespace karvel::exporter {
namespace {

EVP_MD_CTX* as_context(void* context) { return static_cast<EVP_MD_CTX*>(context); }

Error crypto_error(std::string_view what) {
  return Error::io_other(std::string("libcrypto SHA-1 ").append(what).append(" failed"));
}

}  // namespace

void Sha1::ContextDeleter::operator()(void* context) const noexcept {
  EVP_MD_CTX_free(as_context(context));
}

Result<Sha1> Sha1::create() {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr) return std::unexpected(crypto_error("context allocation"));
  Sha1 sha1(context);
  if (EVP_DigestInit_ex(context, EVP_sha1(), nullptr) != 1) {
    return std::unexpected(crypto_error("initialisation"));
  }
  return sha1;
}

Result<void> Sha1::update(std::string_view bytes) {
  if (bytes.empty()) return {};
  if (!context_ || EVP_DigestUpdate(as_context(context_.get()), bytes.data(), bytes.size()) != 1) {
    return std::unexpected(crypto_error("update"));
  }
  return {};
}

Result<Sha1::Digest> Sha1::finish() {
  Digest digest{};
  unsigned int length = 0;
  if (!context_ || EVP_DigestFinal_ex(as_context(context_.get()), digest.data(), &length) != 1 ||
      length != digest.size()) {
    return std::unexpected(crypto_error("finalisation"));
  }
  context_.reset();
  return digest;
}

std::string to_hex(const Sha1::Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * digest.size());
  for (std::uint8_t byte : digest) {
    hex.push_back(kDigits[byte >> 4]);
    hex.push_back(kDigits[byte & 0xF]);
  }
  return hex;
}

Result<Sha1::Digest> sha1_of_file(const std::string& path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return std::unexpected(Error::io_from_errno(errno));
  auto sha1 = Sha1::create();
  if (!sha1) return std::unexpected(std::move(sha1.error()));
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (got > 0) {
      if (auto fed = sha1->update(std::string_view(buffer.data(), got)); !fed) {
        return std::unexpected(std::move(fed.error()));
      }
    }
    if (got < buffer.size()) {
      if (std::ferror(file.get())) return std::unexpected(Error::io_from_errno(errno ? errno : EIO));
      break;
    }
  }
  return sha1->finish();
}

}  // namespace karvel::exporter
