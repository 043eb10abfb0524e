// Spectra prepared ahead of the mzML writer, handed out in file order.
//
// With one thread every spectrum is prepared in the caller's thread when it
// is asked for. With more, that many workers prepare (decode, compress,
// base64) the next spectra while the caller writes the previous ones: at
// most `window` (twice the workers) are being prepared or waiting, so
// memory does not grow with the run. The text of a spectrum does not depend
// on the thread that prepared it, so the file is the same whatever the
// thread count. A spectrum that fails is reported when its turn comes.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "export/binary_array.hpp"
#include "export/encoded_spectrum.hpp"
#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

struct EncodeSettings {
  PeakMode mode = PeakMode::Auto;
  bool zlib = true;
  IntensityBits intensity_bits = IntensityBits::Float32;
  NumpressSettings numpress;  // the spectra's arrays; chromatograms stay plain
  unsigned threads = 1;  // 0 and 1: no worker threads
};

class EncodePipeline {
 public:
  // positions: scan positions in file order, each below the scan count; the
  // span must outlive the pipeline. An error when a compressor cannot be
  // made or a thread cannot be started.
  static Result<std::unique_ptr<EncodePipeline>> start(std::shared_ptr<const reader::Reader> reader,
                                                       std::span<const std::size_t> positions,
                                                       EncodeSettings settings);
  // Stops the workers after the spectrum each has in hand and waits for them.
  ~EncodePipeline();
  EncodePipeline(const EncodePipeline&) = delete;
  EncodePipeline& operator=(const EncodePipeline&) = delete;

  // The next spectrum in file order; call only while some are left (one
  // caller at a time).
  Result<EncodedSpectrum> next();

 private:
  EncodePipeline(std::shared_ptr<const reader::Reader> reader, std::span<const std::size_t> positions,
                 EncodeSettings settings, std::size_t window);
  Result<EncodedSpectrum> encode(std::size_t position, BinaryArrayWriter& arrays) const noexcept;
  void work(BinaryArrayWriter arrays) noexcept;
  void stop() noexcept;

  const std::shared_ptr<const reader::Reader> reader_;
  const std::span<const std::size_t> positions_;
  const EncodeSettings settings_;
  const std::size_t window_;  // 0 without workers
  std::optional<BinaryArrayWriter> inline_arrays_;  // without workers

  std::mutex mutex_;
  std::condition_variable result_ready_;  // the caller waits here
  std::condition_variable space_free_;    // workers wait here
  std::vector<std::optional<Result<EncodedSpectrum>>> ring_;  // position p in slot p % window
  std::size_t assigned_ = 0;  // next position a worker takes
  std::size_t consumed_ = 0;  // next position next() hands out
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace karvel::exporter
