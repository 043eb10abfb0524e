#include "bench_run.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace karvel::bench {
namespace {

[[noreturn]] void fail(const std::string& text) {
  std::fprintf(stderr, "karvel_bench: %s\n", text.c_str());
  std::exit(2);
}

std::vector<Block> blocks_of(const BenchRun& run, bool profile) {
  std::vector<Block> blocks;
  const auto& records = run.reader->scan().records;
  const auto& calibrations = run.reader->calibrations();
  const auto& file = profile ? run.profile_file : run.peak_file;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& params = profile ? records[i].profile_params : records[i].centroid_params;
    if (!params) continue;
    if (params->offset > file.size() || params->byte_count > file.size() - params->offset) {
      fail("block of scan " + std::to_string(i) + " lies outside its data file in " + run.path);
    }
    Block block;
    block.bytes = std::span<const std::uint8_t>(file).subspan(params->offset, params->byte_count);
    block.params = *params;
    if (i < calibrations.size() && calibrations[i]) block.calibration = &*calibrations[i];
    blocks.push_back(block);
  }
  return blocks;
}

std::uint64_t points_of(const std::vector<Block>& blocks) {
  std::uint64_t total = 0;
  for (const Block& block : blocks) total += block.params.point_count;
  return total;
}

}  // namespace

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::vector<std::uint8_t> bytes;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  struct stat info;
  if (::fstat(fd, &info) == 0) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
  }
  ::close(fd);
  return bytes;
}

BenchRun load_run(std::string name, std::string path) {
  BenchRun run;
  run.name = std::move(name);
  run.path = std::move(path);
  auto opened = reader::Reader::open(run.path);
  if (!opened) fail("cannot open " + run.path + ": " + opened.error().display());
  run.reader = std::move(*opened);
  run.profile_file = read_file(run.reader->profile_path());
  run.peak_file = read_file(run.reader->peak_path());
  run.profile_blocks = blocks_of(run, true);
  run.centroid_blocks = blocks_of(run, false);
  return run;
}

std::uint64_t BenchRun::profile_points() const { return points_of(profile_blocks); }
std::uint64_t BenchRun::centroid_points() const { return points_of(centroid_blocks); }

MainBlocks main_blocks(const BenchRun& run) {
  if (!run.profile_blocks.empty()) {
    return {true, run.reader->profile_path(), run.profile_file, run.profile_blocks, run.profile_points()};
  }
  return {false, run.reader->peak_path(), run.peak_file, run.centroid_blocks, run.centroid_points()};
}

std::uint64_t BenchRun::largest_profile_output() const {
  std::uint64_t largest = 0;
  for (const Block& block : profile_blocks) {
    largest = std::max<std::uint64_t>(largest, block.params.uncompressed_byte_count.value_or(0));
  }
  return largest;
}

}  // namespace karvel::bench
