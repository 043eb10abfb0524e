#include "export/mzml_writer.hpp"

#include <algorithm>
#include <filesystem>

#include "reader/paths.hpp"
#include "support/format.hpp"

namespace karvel::exporter {
namespace {

using raw::msscan::ScanRecord;

constexpr std::string_view kScanTableName = "MSScan.bin";

bool selected(const ScanRecord& record, const ScanFilter& filter) {
  const auto& levels = filter.ms_levels;
  if (!levels.empty() && std::find(levels.begin(), levels.end(), record.ms_level) == levels.end()) {
    return false;
  }
  if (filter.rt_range_sec) {
    const double rt = reader::ScanRow(record).rt_sec();
    if (!(rt >= filter.rt_range_sec->first && rt <= filter.rt_range_sec->second)) return false;
  }
  return true;
}

// The directory holding the scan table, absolute and normalized.
std::string scan_table_directory(const std::string& run_path) {
  std::error_code ignored;
  std::filesystem::path acq = std::filesystem::path(run_path) / "AcqData";
  std::filesystem::path absolute = std::filesystem::absolute(acq, ignored);
  if (absolute.empty()) absolute = acq;
  return absolute.lexically_normal().string();
}

RunDescription describe(const reader::Reader& reader, const std::vector<std::size_t>& selection,
                        const MzmlOptions& options, std::vector<SkippedSpectrum> skipped,
                        const std::string& source_directory) {
  RunDescription run;
  run.skipped = std::move(skipped);
  run.integrity = reader.integrity_events();
  if (reader::picks(options.choice)) {
    run.peak_picking = PeakPickingStep{
        options.choice == reader::BlockChoice::Pick ? "pick" : "pick-all", options.centroid.pick.snr,
        options.centroid.pick.keep_spikes, std::max<std::uint32_t>(options.centroid.min_ms_level, 1), options.centroid.max_ms_level};
  }
  run.metadata = reader.run_metadata();
  run.analyzer = reader.analyzer();
  run.source_name = kScanTableName;
  const std::string directory = scan_table_directory(reader.path());
  run.source_location = file_uri(source_directory.empty() ? directory : source_directory);
  if (auto digest = sha1_of_file(reader::join_path(directory, kScanTableName))) {
    run.source_sha1 = to_hex(*digest);
  }
  const auto& records = reader.scan().records;
  const auto note_level = [&run](const ScanRecord& record) {
    const reader::ScanRow row(record);
    (row.is_ms1() ? run.has_ms1 : row.has_precursor() ? run.has_msn : run.has_unstated_level) = true;
  };
  for (std::size_t position : selection) note_level(records[position]);
  // Without selected spectra the file still says what the run holds.
  if (selection.empty()) std::for_each(records.begin(), records.end(), note_level);
  run.spectrum_count = selection.size();
  return run;
}

}  // namespace

std::vector<std::size_t> select_scans(const raw::msscan::MSScan& scan, const ScanFilter& filter) {
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < scan.records.size(); ++i) {
    if (selected(scan.records[i], filter)) positions.push_back(i);
  }
  return positions;
}

Result<std::unique_ptr<MzmlWriter>> MzmlWriter::create(std::shared_ptr<const reader::Reader> reader,
                                                       std::string out_path,
                                                       std::vector<std::size_t> selection,
                                                       MzmlOptions options,
                                                       std::vector<SkippedSpectrum> skipped,
                                                       std::string source_directory,
                                                       SkipReason skip_reason) {
  if (!reader) return std::unexpected(Error::argument("no reader to write mzML from"));
  const std::size_t count = reader->scan().records.size();
  for (std::size_t position : selection) {
    if (position >= count) {
      return std::unexpected(Error::parse(str_cat("spectrum position ", position,
                                                  " is not below the scan count ", count)));
    }
  }
  auto arrays = BinaryArrayWriter::create(options.zlib);
  if (!arrays) return std::unexpected(std::move(arrays.error()));
  auto output = OutputFile::create(std::move(out_path));
  if (!output) return std::unexpected(std::move(output.error()));
  append_header(output->text(), describe(*reader, selection, options, skipped, source_directory));
  std::unique_ptr<MzmlWriter> writer(new MzmlWriter(std::move(reader), std::move(options),
                                                    std::move(selection), std::move(*output),
                                                    std::move(*arrays)));
  writer->header_end_ = writer->output_->offset();
  writer->skipped_ = std::move(skipped);
  writer->source_directory_ = std::move(source_directory);
  writer->skip_reason_ = skip_reason;
  if (auto spilled = writer->output_->spill(); !spilled) return std::unexpected(std::move(spilled.error()));
  auto pipeline = EncodePipeline::start(writer->reader_, writer->selection_, writer->options_);
  if (!pipeline) return std::unexpected(std::move(pipeline.error()));
  writer->pipeline_ = std::move(*pipeline);
  return writer;
}

MzmlWriter::MzmlWriter(std::shared_ptr<const reader::Reader> reader, MzmlOptions options,
                       std::vector<std::size_t> selection, OutputFile output,
                       BinaryArrayWriter arrays)
    : reader_(std::move(reader)),
      options_(std::move(options)),
      selection_(std::move(selection)),
      output_(std::move(output)),
      arrays_(std::move(arrays)) {
  spectrum_index_.reserve(selection_.size());
}

std::unexpected<Error> MzmlWriter::fail(Error error) {
  failure_ = error;
  pipeline_.reset();
  output_.reset();
  return std::unexpected(std::move(error));
}

Result<std::size_t> MzmlWriter::write_next(std::size_t count) {
  if (failure_) return std::unexpected(*failure_);
  if (finished_) return 0;
  std::size_t wrote = 0;
  while (wrote < count && next_ < selection_.size()) {
    if (auto result = write_spectrum(); !result) return fail(std::move(result.error()));
    ++next_;
    ++wrote;
  }
  return wrote;
}

Result<void> MzmlWriter::write_spectrum() {
  auto spectrum = pipeline_->next();
  if (!spectrum) {
    if (skip_reason_ == nullptr) return std::unexpected(std::move(spectrum.error()));
    left_out_.emplace_back(selection_[next_], std::move(spectrum.error()));
    return {};
  }
  if (!left_out_.empty()) {
    // Prepared with its place among all the positions: its place among
    // the spectra written is lower by those left out before it.
    const std::string old_index = str_cat("<spectrum index=\"", next_, "\"");
    if (!std::string_view(spectrum->text).starts_with(old_index)) {
      return std::unexpected(Error::internal("a prepared spectrum does not begin with its index"));
    }
    spectrum->text.replace(0, old_index.size(),
                           str_cat("<spectrum index=\"", next_ - left_out_.size(), "\""));
  }
  std::string& out = output_->text();
  out.append("        ");
  spectrum_index_.emplace_back(std::move(spectrum->native_id), output_->offset());
  out.append(spectrum->text);
  if (spectrum->ms1) chromatograms_.add(*spectrum->ms1);
  return output_->spill();
}

Result<void> MzmlWriter::finish() {
  if (failure_) return std::unexpected(*failure_);
  if (finished_) return {};
  if (auto rest = write_next(selection_.size()); !rest) return std::unexpected(std::move(rest.error()));
  if (!left_out_.empty()) {
    if (auto rewritten = rewrite_header(); !rewritten) return fail(std::move(rewritten.error()));
  }
  if (auto trailer = write_trailer(); !trailer) return fail(std::move(trailer.error()));
  pipeline_.reset();
  finished_ = true;
  return {};
}

Result<void> MzmlWriter::rewrite_header() {
  std::vector<std::size_t> written;
  std::vector<SkippedSpectrum> skipped = skipped_;
  written.reserve(selection_.size() - left_out_.size());
  auto left = left_out_.begin();
  for (std::size_t position : selection_) {
    if (left != left_out_.end() && left->first == position) {
      skipped.push_back(
          {reader::ScanRow(reader_->scan().records[position]).native_id(), skip_reason_(left->second)});
      ++left;
    } else {
      written.push_back(position);
    }
  }
  auto fresh = OutputFile::create(output_->final_path());
  if (!fresh) return std::unexpected(std::move(fresh.error()));
  append_header(fresh->text(), describe(*reader_, written, options_, std::move(skipped), source_directory_));
  const std::uint64_t header_end = fresh->offset();
  if (auto copied = output_->copy_tail_to(*fresh, header_end_); !copied) return copied;
  for (IndexEntry& entry : spectrum_index_) entry.second = entry.second - header_end_ + header_end;
  header_end_ = header_end;
  output_.reset();  // removes the first file
  output_.emplace(std::move(*fresh));
  return {};
}

Result<void> MzmlWriter::write_trailer() {
  std::string& out = output_->text();
  const bool ms1 = !chromatograms_.time_sec.empty();
  const bool chromatograms = ms1 || !reactions_.empty();
  append_spectrum_list_end(out, chromatograms);
  std::vector<IndexEntry> chromatogram_index;
  if (ms1) {
    const auto add = [&](std::string_view id, terms::Term type, const std::vector<double>& intensity) {
      const std::size_t position = chromatogram_index.size();
      out.append("        ");
      chromatogram_index.emplace_back(std::string(id), output_->offset());
      return append_chromatogram(out, position, id, type, chromatograms_.time_sec, intensity,
                                 options_.intensity_bits, arrays_);
    };
    if (auto tic = add("TIC", terms::kTicChromatogram, chromatograms_.total_ion_current); !tic) return tic;
    if (auto bpc = add("BPC", terms::kBasePeakChromatogram, chromatograms_.base_peak_intensity); !bpc) {
      return bpc;
    }
  }
  for (const auto& reaction : reactions_) {
    const std::size_t position = chromatogram_index.size();
    out.append("        ");
    chromatogram_index.emplace_back(reaction.id, output_->offset());
    if (auto written = append_chromatogram(out, position, reaction.id, terms::kSrmChromatogram, reaction.time_sec,
                                           reaction.intensity, options_.intensity_bits, arrays_,
                                           &reaction.settings);
        !written) {
      return written;
    }
    if (auto spilled = output_->spill(); !spilled) return spilled;
  }
  append_run_end(out, chromatograms);
  out.append("  ");
  const std::uint64_t index_offset = output_->offset();
  append_index(out, spectrum_index_, chromatogram_index, index_offset);
  auto digest = output_->digest();
  if (!digest) return std::unexpected(std::move(digest.error()));
  append_checksum_end(out, to_hex(*digest));
  auto committed = output_->commit();
  output_.reset();
  return committed;
}

}  // namespace karvel::exporter
