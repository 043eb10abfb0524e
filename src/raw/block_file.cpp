#include "raw/block_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "raw/read_bytes.hpp"
#include "support/format.hpp"
#include "support/text.hpp"

namespace karvel::raw {
std::shared_ptr<const OpenFile> OpenFile::open(std::string path) {
  std::shared_ptr<OpenFile> file(new OpenFile());
  file->path_ = std::move(path);
  int fd = -1;
  do {
    fd = ::open(file->path_.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    file->failure_ = Error::io_from_errno(errno, file->path_);
    return file;
  }
  file->fd_ = fd;
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    file->failure_ = Error::io_from_errno(errno, file->path_);
    return file;
  }
  file->length_ = static_cast<std::uint64_t>(info.st_size);
  return file;
}

OpenFile::~OpenFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> OpenFile::check(std::uint64_t offset, std::uint64_t byte_count) const {
  if (failure_) return std::unexpected(*failure_);
  const std::uint64_t remaining = offset < length_ ? length_ - offset : 0;
  if (byte_count > remaining) {
    return parse_error(str_cat("read_bytes: requested ", byte_count, " bytes at offset ", offset, " but ",
                               to_utf8_lossy(path_), " has only ", remaining, " bytes remaining"));
  }
  // A position the file system cannot address fails as a seek would.
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return std::unexpected(Error::io_from_errno(EINVAL, path_));
  }
  return {};
}

Result<void> OpenFile::read_at(std::uint8_t* buffer, std::uint64_t byte_count, std::uint64_t offset) const {
  if (auto checked = check(offset, byte_count); !checked) return checked;
  // check() holds offset + byte_count to the length: no wrap.
  auto read = read_exact_at(fd_, buffer, byte_count, offset);
  if (!read) return std::unexpected(std::move(read.error()).at_path(path_));
  return read;
}

Result<std::span<const std::uint8_t>> BlockReader::read_checked(std::uint64_t offset, std::uint64_t byte_count) {
  if (auto checked = file_->check(offset, byte_count); !checked) return std::unexpected(checked.error());
  // From here on the block lies within the file: offset + byte_count <= length.
  if (byte_count == 0) return std::span<const std::uint8_t>();
  if (byte_count >= kWindowBytes / 2) {
    large_.resize(byte_count);
    if (auto read = file_->read_at(large_.data(), byte_count, offset); !read) {
      return std::unexpected(read.error());
    }
    return std::span<const std::uint8_t>(large_);
  }
  // Not inside the window (read() serves those): the block and what
  // follows it, up to the window or the end of file (check() above: the
  // block itself fits).
  const bool follows = !window_.empty() && offset >= window_offset_ && offset - window_offset_ <= window_.size();
  window_bytes_ = follows ? std::min(2 * window_bytes_, kMaxWindowBytes) : kWindowBytes;
  const std::uint64_t size = std::min(window_bytes_, file_->length() - offset);
  window_.resize(size);
  if (auto read = file_->read_at(window_.data(), size, offset); !read) {
    window_.clear();
    return std::unexpected(read.error());
  }
  window_offset_ = offset;
  return std::span<const std::uint8_t>(window_).subspan(offset - window_offset_, byte_count);
}

}  // namespace karvel::raw
