// Spectra prepared ahead of the mzML writer, handed out in file order, on
// the library's ordered pool (support/ordered_pool.hpp): with one thread
// every spectrum is prepared in the caller's thread when it is asked for;
// with more, worker threads prepare (decode, compress, base64) the next
// spectra while the caller writes the previous ones, within the pool's
// window. The text of a spectrum does not depend on the thread that
// prepared it, so the file is the same whatever the thread count. A
// spectrum that fails is reported when its turn comes.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "export/binary_array.hpp"
#include "export/encoded_spectrum.hpp"
#include "reader/reader.hpp"
#include "support/error.hpp"
#include "support/ordered_pool.hpp"

namespace karvel::exporter {

struct EncodeSettings {
  reader::BlockChoice choice = reader::BlockChoice::Auto;
  bool zlib = true;
  IntensityBits intensity_bits = IntensityBits::Float32;
  unsigned threads = 1;  // 1: in the caller's thread; 0 is refused
  NumpressSettings numpress;  // the spectra's arrays; chromatograms stay plain
  reader::CentroidOptions centroid;  // the MS levels `choice` applies to, the picker's settings
};

class EncodePipeline {
 public:
  // positions: scan positions in file order, each below the scan count; the
  // span must outlive the pipeline. An error when a compressor cannot be
  // made, threads is 0 or a thread cannot be started.
  static Result<std::unique_ptr<EncodePipeline>> start(std::shared_ptr<const reader::Reader> reader,
                                                       std::span<const std::size_t> positions,
                                                       EncodeSettings settings);

  // The next spectrum in file order; call only while some are left (one
  // caller at a time).
  Result<EncodedSpectrum> next();

 private:
  EncodePipeline(std::shared_ptr<const reader::Reader> reader, std::span<const std::size_t> positions,
                 EncodeSettings settings, std::vector<BinaryArrayWriter> arrays);

  const std::shared_ptr<const reader::Reader> reader_;
  const std::span<const std::size_t> positions_;
  const EncodeSettings settings_;
  std::vector<BinaryArrayWriter> arrays_;  // one per worker, each used by its worker only
  std::vector<reader::BlockReaders> readers_;  // the same
  std::unique_ptr<OrderedPool<EncodedSpectrum>> pool_;  // last: stopped and joined first
};

}  // namespace karvel::exporter
