#include "raw/read_bytes.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

#include "support/format.hpp"
#include "support/text.hpp"

namespace karvel::raw {
namespace {

// Linux transfers at most this many bytes per read call.
constexpr std::uint64_t kMaxReadChunk = 0x7ffff000;

}  // namespace

Result<void> read_exact_at(int fd, std::uint8_t* buffer, std::uint64_t size, std::uint64_t offset) {
  std::uint64_t done = 0;
  while (done < size) {
    std::uint64_t chunk = std::min(size - done, kMaxReadChunk);
    ssize_t got = ::pread(fd, buffer + done, chunk, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io_from_errno(errno));
    }
    if (got == 0) return std::unexpected(Error::io_other("failed to fill whole buffer"));
    done += static_cast<std::uint64_t>(got);
  }
  return {};
}

namespace {

// A read-only file descriptor closed when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(int fd) noexcept : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { ::close(fd_); }

  int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

Result<FileHandle> open_read_only(const std::string& path) {
  while (true) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) return Result<FileHandle>(std::in_place, fd);
    if (errno != EINTR) return std::unexpected(Error::io_from_errno(errno));
  }
}

Result<std::uint64_t> file_length(const FileHandle& file) {
  struct stat info;
  if (::fstat(file.fd(), &info) != 0) return std::unexpected(Error::io_from_errno(errno));
  return static_cast<std::uint64_t>(info.st_size);
}

// Reads from the current position to the end of the file into out, whose
// initial size is a guess; out ends up exactly as long as what was read.
Result<void> read_to_end(const FileHandle& file, std::vector<std::uint8_t>& out) {
  std::size_t size = 0;
  while (true) {
    if (size == out.size()) out.resize(std::max<std::size_t>(out.size() * 2, 8192));
    std::size_t want = std::min<std::size_t>(out.size() - size, kMaxReadChunk);
    ssize_t got = ::read(file.fd(), out.data() + size, want);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::io_from_errno(errno));
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  out.resize(size);
  return {};
}

}  // namespace

Result<std::vector<std::uint8_t>> read_bytes(const std::string& path, std::uint64_t offset,
                                             std::uint64_t byte_count) {
  auto file = open_read_only(path);
  if (!file) return std::unexpected(std::move(file.error()).at_path(path));
  auto length = file_length(*file);
  if (!length) return std::unexpected(std::move(length.error()).at_path(path));
  std::uint64_t remaining = offset < *length ? *length - offset : 0;
  if (byte_count > remaining) {
    return parse_error(str_cat("read_bytes: requested ", byte_count, " bytes at offset ", offset,
                               " but ", to_utf8_lossy(path), " has only ", remaining,
                               " bytes remaining"));
  }
  // A position the file system cannot address fails as a seek would.
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(Error::io_from_errno(EINVAL, path));
  }
  // byte_count <= remaining, so offset + byte_count <= length: no wrap.
  std::vector<std::uint8_t> buffer(byte_count);
  auto filled = read_exact_at(file->fd(), buffer.data(), byte_count, offset);
  if (!filled) return std::unexpected(std::move(filled.error()).at_path(path));
  return buffer;
}

Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
  auto file = open_read_only(path);
  if (!file) return std::unexpected(std::move(file.error()).at_path(path));
  auto length = file_length(*file);
  if (!length) return std::unexpected(std::move(length.error()).at_path(path));
  // The reported length is only a hint (it is 0 for many special files), so
  // read on until the end of the file; the extra byte sees the end without
  // growing the buffer.
  std::vector<std::uint8_t> bytes(
      static_cast<std::size_t>(std::min<std::uint64_t>(*length, kMaxReadChunk)) + 1);
  auto read = read_to_end(*file, bytes);
  if (!read) return std::unexpected(std::move(read.error()).at_path(path));
  return bytes;
}

Result<std::string> read_utf8_file(const std::string& path) {
  auto bytes = read_whole_file(path);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  std::string text(bytes->begin(), bytes->end());
  if (!is_valid_utf8(text)) return std::unexpected(Error::io_other("stream did not contain valid UTF-8"));
  return text;
}

}  // namespace karvel::raw
