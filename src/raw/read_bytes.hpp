// Bounded reads of data files. Each call opens the file afresh and closes it
// before returning, so no file stays open and concurrent calls are independent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/error.hpp"

namespace karvel::raw {

// Fills buffer with the size bytes at offset of the open file fd, in reads
// of at most what Linux transfers at once, retrying interrupted ones; the end
// of the file before the buffer is full is an Io error.
Result<void> read_exact_at(int fd, std::uint8_t* buffer, std::uint64_t size, std::uint64_t offset);

// The byte_count bytes at offset; a range past the end of the file is a parse
// error naming the path, a failing file operation an Io error.
Result<std::vector<std::uint8_t>> read_bytes(const std::string& path, std::uint64_t offset,
                                             std::uint64_t byte_count);

// The whole file.
Result<std::vector<std::uint8_t>> read_whole_file(const std::string& path);

// The whole file as UTF-8 text; text that is not valid UTF-8 is an Io error
// ("stream did not contain valid UTF-8").
Result<std::string> read_utf8_file(const std::string& path);

}  // namespace karvel::raw
