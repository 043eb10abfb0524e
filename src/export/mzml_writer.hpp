// A streaming writer of indexed mzML 1.1 for one opened run. It holds one
// spectrum in memory at a time: spectra are decoded, encoded and written
// in scan order, the TIC and base-peak chromatograms are accumulated from
// the MS1 spectra as they pass and written after them, byte offsets are
// counted as the text is written and the SHA-1 file checksum is fed the same
// bytes. Output is deterministic: the same run and options give the same
// bytes (the only time written is the run's own acquisition time).
// With MzmlOptions::threads above one, the next few spectra are decoded and
// compressed on worker threads while the caller writes (encode_pipeline.hpp);
// memory stays bounded and the bytes stay the same.
//
// The file is written under a temporary name next to the output path and
// renamed to it by finish(); a writer dropped before that, or one that
// failed, leaves no file behind and the output path untouched.
//
//   auto writer = MzmlWriter::create(reader, "run.mzML",
//                                    select_scans(reader->scan(), filter), options);
//   while ((*writer)->write_next(100).value_or(0) > 0) {}   // progress
//   (*writer)->finish();
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "export/binary_array.hpp"
#include "export/encode_pipeline.hpp"
#include "export/encoded_spectrum.hpp"
#include "export/mzml_document.hpp"
#include "export/output_file.hpp"
#include "raw/msscan.hpp"
#include "reader/ms1_chromatograms.hpp"
#include "reader/reader.hpp"
#include "support/error.hpp"

namespace karvel::exporter {

// How spectra are encoded and how many threads prepare them ahead of the
// writing (1: none, all the work in the caller's thread; 0 is refused). The
// file is the same for every thread count.
using MzmlOptions = EncodeSettings;

struct ScanFilter {
  std::vector<std::uint32_t> ms_levels;                   // empty: every level
  std::optional<std::pair<double, double>> rt_range_sec;  // inclusive
};

// Positions in the scan table of the scans the filter lets through, in order.
std::vector<std::size_t> select_scans(const raw::msscan::MSScan& scan, const ScanFilter& filter);

// How a writer that leaves out the spectra that fail to decode words the
// reason of each in the file (the bindings' wording of an error); none for
// a writer that fails with the first.
using SkipReason = std::string (*)(const Error& error);

class MzmlWriter {
 public:
  // Opens the temporary file and writes everything before the spectra.
  // positions: the scans to write, in file order; each must be below the
  // scan count (a Parse error otherwise). skipped: spectra the caller left
  // out of positions because they cannot be decoded, named in the header.
  // source_directory: the directory the header names as the scan table's
  // location instead of the reader's (a run unpacked from an archive names
  // its place in the archive); empty for the reader's own. skip_reason:
  // see left_out().
  static Result<std::unique_ptr<MzmlWriter>> create(std::shared_ptr<const reader::Reader> reader,
                                                    std::string out_path,
                                                    std::vector<std::size_t> positions,
                                                    MzmlOptions options,
                                                    std::vector<SkippedSpectrum> skipped = {},
                                                    std::string source_directory = {},
                                                    SkipReason skip_reason = nullptr);

  MzmlWriter(const MzmlWriter&) = delete;
  MzmlWriter& operator=(const MzmlWriter&) = delete;

  std::size_t total() const noexcept { return selection_.size(); }
  std::size_t written() const noexcept { return next_; }

  // Writes up to count more spectra and returns how many it took (0 once
  // all are taken). A spectrum that fails to decode fails the writer, or,
  // with a skip_reason, is left out and counts as taken.
  Result<std::size_t> write_next(std::size_t count);
  // The spectra left out so far, as their scan positions and errors, in
  // order. Each spectrum is decoded once: the header is written before the
  // spectra as though none will be left out, and when some were, finish()
  // writes the file again from a header that names them (and counts only
  // the spectra written) followed by the bytes already written, which it
  // copies, so a sound run's file is written once and never copied.
  const std::vector<std::pair<std::size_t, Error>>& left_out() const noexcept { return left_out_; }
  // A selected reaction monitoring chromatogram written after the TIC and
  // the base-peak chromatogram, in the order added. Its id must be unique
  // in the file; times and intensity have equal lengths.
  struct ReactionChromatogram {
    std::string id;
    std::vector<double> time_sec;
    std::vector<double> intensity;
    ReactionSettings settings;
  };
  void add_reaction_chromatogram(ReactionChromatogram chromatogram) {
    reactions_.push_back(std::move(chromatogram));
  }

  // Writes the remaining spectra, the chromatograms, the index and the
  // checksum, and moves the file to the output path.
  Result<void> finish();

 private:
  MzmlWriter(std::shared_ptr<const reader::Reader> reader, MzmlOptions options,
             std::vector<std::size_t> selection, OutputFile output, BinaryArrayWriter arrays);
  Result<void> write_spectrum();
  Result<void> write_trailer();
  // The file again from a header naming the spectra left out, then the
  // spectra already written.
  Result<void> rewrite_header();
  // Records a failure: the writer keeps returning it and drops its file.
  std::unexpected<Error> fail(Error error);

  std::shared_ptr<const reader::Reader> reader_;
  MzmlOptions options_;
  std::vector<std::size_t> selection_;
  std::optional<OutputFile> output_;
  BinaryArrayWriter arrays_;  // the chromatograms'
  std::unique_ptr<EncodePipeline> pipeline_;  // over selection_
  std::size_t next_ = 0;
  std::vector<IndexEntry> spectrum_index_;
  reader::Ms1Chromatograms chromatograms_;  // of the MS1 spectra written
  std::vector<ReactionChromatogram> reactions_;
  std::optional<Error> failure_;
  bool finished_ = false;
  std::vector<SkippedSpectrum> skipped_;  // named by the caller
  std::string source_directory_;
  SkipReason skip_reason_ = nullptr;
  std::vector<std::pair<std::size_t, Error>> left_out_;
  std::uint64_t header_end_ = 0;  // where the spectra begin
};

}  // namespace karvel::exporter
