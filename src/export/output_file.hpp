// The file an export is written to: text is appended to an in-memory buffer
// that is written out (and fed to a SHA-1) whenever it grows past a
// threshold. The bytes go to a temporary file next to the final path
// (".NAME.part-HOST-PID-N": a later process on the same machine can tell a
// leftover of a dead one),
// which commit() syncs to disk and renames to the final path; until then
// (and when the object is dropped uncommitted) the final path is left
// untouched and the temporary file is removed.
#pragma once

#include <cstdint>
#include <string>

#include "export/sha1.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

class OutputFile {
 public:
  static Result<OutputFile> create(std::string final_path);

  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  ~OutputFile();

  const std::string& final_path() const noexcept { return final_path_; }
  // The pending text: append to it, then call spill().
  std::string& text() noexcept { return pending_; }
  // Byte offset of the end of the text written so far (pending included).
  std::uint64_t offset() const noexcept { return flushed_ + pending_.size(); }
  // Writes the pending text out when it is large enough to be worth it.
  Result<void> spill();
  // Writes out all pending text and returns the SHA-1 of every byte of the
  // file so far; nothing may be hashed afterwards (text still may be added).
  Result<Sha1::Digest> digest();
  // Writes out the pending text, then appends to `other` (spilling as it
  // goes) the bytes of this file from offset `from` to its end, as written.
  Result<void> copy_tail_to(OutputFile& other, std::uint64_t from);
  // Writes out all pending text, syncs the file to disk, closes it and
  // moves it to the final path (then syncs the folder).
  Result<void> commit();

 private:
  OutputFile(std::string final_path, std::string temporary_path, int fd, Sha1 sha1);
  Result<void> flush();
  Result<void> write_all(std::string_view bytes);
  void discard() noexcept;

  std::string final_path_;
  std::string temporary_path_;
  int fd_ = -1;
  Sha1 sha1_;
  bool hashing_ = true;
  std::string pending_;
  std::uint64_t flushed_ = 0;
};

}  // namespace karvel::exporter
