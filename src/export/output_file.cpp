#include "export/output_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <utility>

namespace karvel::exporter {
namespace {

constexpr std::size_t kSpillSize = std::size_t{4} << 20;

std::unexpected<Error> errno_error() { return std::unexpected(Error::io_from_errno(errno)); }

std::atomic<std::uint64_t> next_temporary_number{0};

// This machine's name with every byte outside [A-Za-z0-9._] as '_' (so
// that it never holds the '-' that separates the parts of the name).
std::string host_name() {
  char buffer[256] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return "host";
  std::string name(buffer);
  if (name.size() > 64) name.resize(64);
  for (char& c : name) {
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_';
    if (!kept) c = '_';
  }
  return name;
}

// A hidden name next to the final one, ".NAME.part-HOST-PID-N": unique
// within this process; the host and process id keep processes apart, also
// those of other machines writing into a shared folder, and tell a later
// process whether the writer still lives.
std::string temporary_name(const std::string& final_path) {
  static const std::string host = host_name();
  const std::filesystem::path path(final_path);
  const std::string name = "." + path.filename().string() + ".part-" + host + "-" +
                           std::to_string(::getpid()) + "-" +
                           std::to_string(next_temporary_number.fetch_add(1));
  return (path.parent_path() / name).string();
}

// The rename itself reaches the disk with the directory; a file system
// that cannot sync a directory loses nothing but that guarantee.
void sync_directory_of(const std::string& path) noexcept {
  std::string directory = std::filesystem::path(path).parent_path().string();
  if (directory.empty()) directory = ".";
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  while (::fsync(fd) != 0 && errno == EINTR) {
  }
  ::close(fd);
}

}  // namespace

Result<OutputFile> OutputFile::create(std::string final_path) {
  auto sha1 = Sha1::create();
  if (!sha1) return std::unexpected(std::move(sha1.error()));
  // Created like any new file (the umask applies); a leftover of an earlier
  // process with the same id is never reused.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temporary = temporary_name(final_path);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100)) return errno_error();
  }
  return OutputFile(std::move(final_path), std::move(temporary), fd, std::move(*sha1));
}

OutputFile::OutputFile(std::string final_path, std::string temporary_path, int fd, Sha1 sha1)
    : final_path_(std::move(final_path)),
      temporary_path_(std::move(temporary_path)),
      fd_(fd),
      sha1_(std::move(sha1)) {
  pending_.reserve(kSpillSize + (kSpillSize >> 2));
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : final_path_(std::move(other.final_path_)),
      temporary_path_(std::move(other.temporary_path_)),
      fd_(std::exchange(other.fd_, -1)),
      sha1_(std::move(other.sha1_)),
      hashing_(other.hashing_),
      pending_(std::move(other.pending_)),
      flushed_(other.flushed_) {}

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() noexcept {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  ::unlink(temporary_path_.c_str());
}

Result<void> OutputFile::spill() {
  if (pending_.size() < kSpillSize) return {};
  return flush();
}

Result<void> OutputFile::write_all(std::string_view bytes) {
  if (fd_ < 0) return std::unexpected(Error::io_from_errno(EBADF));
  while (!bytes.empty()) {
    const ssize_t wrote = ::write(fd_, bytes.data(), bytes.size());
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return errno_error();
    }
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return {};
}

Result<void> OutputFile::flush() {
  if (pending_.empty()) return {};
  if (hashing_) {
    if (auto fed = sha1_.update(pending_); !fed) return fed;
  }
  if (auto wrote = write_all(pending_); !wrote) return wrote;
  flushed_ += pending_.size();
  pending_.clear();
  return {};
}

Result<void> OutputFile::copy_tail_to(OutputFile& other, std::uint64_t from) {
  if (auto flushed = flush(); !flushed) return flushed;
  const int fd = ::open(temporary_path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno_error();
  std::string chunk(kSpillSize, '\0');
  Result<void> copied;
  for (std::uint64_t at = from; copied && at < flushed_;) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), flushed_ - at));
    const ssize_t got = ::pread(fd, chunk.data(), want, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      copied = got < 0 ? errno_error() : std::unexpected(Error::io_from_errno(EIO));
      break;
    }
    other.text().append(chunk.data(), static_cast<std::size_t>(got));
    at += static_cast<std::uint64_t>(got);
    copied = other.spill();
  }
  ::close(fd);
  return copied;
}

Result<Sha1::Digest> OutputFile::digest() {
  if (auto flushed = flush(); !flushed) return std::unexpected(std::move(flushed.error()));
  hashing_ = false;
  return sha1_.finish();
}

Result<void> OutputFile::commit() {
  if (auto flushed = flush(); !flushed) return flushed;
  // On disk before it gets its name: after a crash the final path holds
  // either the old file or the whole new one.
  while (::fsync(fd_) != 0) {
    if (errno == EINTR) continue;
    const int code = errno;
    discard();
    return std::unexpected(Error::io_from_errno(code));
  }
  const int fd = std::exchange(fd_, -1);
  if (::close(fd) != 0) {
    const int code = errno;
    ::unlink(temporary_path_.c_str());
    return std::unexpected(Error::io_from_errno(code));
  }
  if (std::rename(temporary_path_.c_str(), final_path_.c_str()) != 0) {
    const int code = errno;
    ::unlink(temporary_path_.c_str());
    return std::unexpected(Error::io_from_errno(code));
  }
  sync_directory_of(final_path_);
  return {};
}

}  // namespace karvel::exporter
