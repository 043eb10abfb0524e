// A data file opened once for a pass over many blocks. Reads give the same
// bytes, checks and errors as read_bytes, without opening the file for
// every block: the file is opened (and its length taken) once, blocks are
// read with positioned reads, and small neighbouring blocks are served from
// one read-ahead window.
//
// An OpenFile is shared by every thread of a pass; each thread reads
// through its own BlockReader.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace karvel::raw {

class OpenFile {
 public:
  // Never fails: a file that cannot be opened reports the failure on every
  // read, as read_bytes would.
  static std::shared_ptr<const OpenFile> open(std::string path);
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // As read_bytes: a range past the end of the file is a parse error naming
  // the path, a failing read an Io error. Thread-safe.
  Result<void> check(std::uint64_t offset, std::uint64_t byte_count) const;
  Result<void> read_at(std::uint8_t* buffer, std::uint64_t byte_count, std::uint64_t offset) const;
  std::uint64_t length() const noexcept { return length_; }

 private:
  OpenFile() = default;

  std::string path_;
  int fd_ = -1;
  std::uint64_t length_ = 0;
  std::optional<Error> failure_;  // why the file could not be opened
};

class BlockReader {
 public:
  // Blocks smaller than half of this are read through the window, which
  // is this large at first and after a jump, and doubles up to
  // kMaxWindowBytes while each window read starts inside the one before (a
  // pass over neighbouring blocks: fewer bytes read twice at the windows'
  // ends).
  static constexpr std::uint64_t kWindowBytes = std::uint64_t{64} << 10;
  static constexpr std::uint64_t kMaxWindowBytes = std::uint64_t{256} << 10;

  explicit BlockReader(std::shared_ptr<const OpenFile> file) noexcept : file_(std::move(file)) {}

  // The byte_count bytes at offset, valid until the next read through this
  // reader.
  Result<std::span<const std::uint8_t>> read(std::uint64_t offset, std::uint64_t byte_count) {
    if (const std::uint8_t* held = in_window(offset, byte_count)) return std::span(held, byte_count);
    return read_checked(offset, byte_count);
  }

  // The block's first byte when the block lies within the window, else
  // nullptr: a block there lies within the file (the window was read from
  // it) and is served as it is, without the checks, for passes over many
  // small neighbouring blocks.
  const std::uint8_t* in_window(std::uint64_t offset, std::uint64_t byte_count) const noexcept {
    if (!window_.empty() && offset >= window_offset_ && offset - window_offset_ <= window_.size() &&
        byte_count <= window_.size() - (offset - window_offset_)) {
      return window_.data() + (offset - window_offset_);
    }
    return nullptr;
  }

 private:
  Result<std::span<const std::uint8_t>> read_checked(std::uint64_t offset, std::uint64_t byte_count);

  std::shared_ptr<const OpenFile> file_;
  std::vector<std::uint8_t> window_;
  std::uint64_t window_offset_ = 0;
  std::uint64_t window_bytes_ = kWindowBytes;  // of the next window read
  std::vector<std::uint8_t> large_;  // a block too large for the window
};

}  // namespace karvel::raw
