// A generated run loaded for the benchmarks: the opened reader (scan table
// and calibrations) and the data files held in memory, split into blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "raw/calibration.hpp"
#include "raw/msscan.hpp"
#include "reader/reader.hpp"

namespace karvel::bench {

struct Block {
  std::span<const std::uint8_t> bytes;
  raw::msscan::SpectrumParams params;
  const raw::calibration::TofCalibration* calibration = nullptr;  // null without one
};

struct BenchRun {
  std::string name;
  std::string path;
  std::unique_ptr<reader::Reader> reader;
  std::vector<std::uint8_t> profile_file;
  std::vector<std::uint8_t> peak_file;
  std::vector<Block> profile_blocks;
  std::vector<Block> centroid_blocks;

  std::uint64_t profile_points() const;
  std::uint64_t centroid_points() const;
  std::uint64_t largest_profile_output() const;  // uncompressed bytes of the largest block
};

// The blocks a run's benchmarks read: its profile blocks when it has any,
// else its centroid blocks, with the data file they lie in (its path and the
// bytes load_run read). Refers into the run.
struct MainBlocks {
  bool profile;
  const std::string& path;
  const std::vector<std::uint8_t>& loaded;
  const std::vector<Block>& blocks;
  std::uint64_t points;
};

MainBlocks main_blocks(const BenchRun& run);

// Opens the run at path and reads its data files; exits with a message when
// the run cannot be opened.
BenchRun load_run(std::string name, std::string path);

// The whole file, read with plain read() calls (page-cached after the first).
std::vector<std::uint8_t> read_file(const std::string& path);

}  // namespace karvel::bench
