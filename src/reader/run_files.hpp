// A run's block files (MSProfile.bin, MSPeak.bin) opened once for a pass
// over many spectra, and one thread's readers of them. A spectrum decoded
// through them has the same points and the same errors as one read file by
// file (Reader::spectrum without readers).
#pragma once

#include <memory>

#include "raw/block_file.hpp"

namespace karvel::reader {

struct RunFiles {
  std::shared_ptr<const raw::OpenFile> profile;
  std::shared_ptr<const raw::OpenFile> peak;
};

// Not shared between threads: each thread of a pass has its own.
struct BlockReaders {
  explicit BlockReaders(const RunFiles& files) : profile(files.profile), peak(files.peak) {}
  raw::BlockReader profile;
  raw::BlockReader peak;
};

}  // namespace karvel::reader
