// Block decoding including m/z calibration, in points per second: karvel's
// decoders against the floor of the same work.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include "benchmarks.hpp"
#include "floor.hpp"
#include "raw/mspeak.hpp"
#include "raw/msprofile.hpp"

namespace karvel::bench {
namespace {

std::uint64_t karvel_block(const Block& block, bool profile) {
  auto peaks = profile ? raw::msprofile::decode_profile_block(block.bytes, block.params, *block.calibration)
                       : raw::mspeak::decode_peak_block(block.bytes, block.params, block.calibration);
  if (!peaks) return 0;
  benchmark::DoNotOptimize(peaks->mz.data());
  benchmark::DoNotOptimize(peaks->intensity.data());
  return peaks->mz.size();
}

void karvel_decode(benchmark::State& state, const std::vector<Block>& blocks, bool profile,
                   std::uint64_t points) {
  for (auto _ : state) {
    std::uint64_t decoded = 0;
    for (const Block& block : blocks) decoded += karvel_block(block, profile);
    if (decoded != points) {
      state.SkipWithError("karvel failed to decode a block");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

// One block through the floor, its arrays kept from the optimiser.
std::uint64_t floor_decode_kept(const Block& block, FloorBuffers& buffers, bool profile) {
  const std::uint64_t decoded = profile ? floor_profile(block, buffers) : floor_centroid(block, buffers);
  benchmark::DoNotOptimize(buffers.mz.data());
  benchmark::DoNotOptimize(buffers.intensity.data());
  benchmark::ClobberMemory();
  return decoded;
}

void floor_decode(benchmark::State& state, const std::vector<Block>& blocks, bool profile,
                  std::uint64_t points) {
  FloorBuffers buffers;
  for (auto _ : state) {
    std::uint64_t decoded = 0;
    for (const Block& block : blocks) {
      decoded += floor_decode_kept(block, buffers, profile);
    }
    if (decoded != points) {
      state.SkipWithError("the floor failed to decode a block");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

// The same floor with every block first read from the data file (one
// pread into a buffer reused from block to block, as a pass over the file
// must): the least work of a pass that starts from the file.
void floor_read_decode(benchmark::State& state, const std::string& path, const std::vector<Block>& blocks,
                       bool profile, std::uint64_t points) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    state.SkipWithError("cannot open the data file");
    return;
  }
  FloorBuffers buffers;
  std::vector<std::uint8_t> bytes;
  for (auto _ : state) {
    std::uint64_t decoded = 0;
    for (Block block : blocks) {
      bytes.resize(block.bytes.size());
      if (::pread(fd, bytes.data(), bytes.size(), static_cast<off_t>(block.params.offset)) !=
          static_cast<ssize_t>(bytes.size())) {
        break;
      }
      block.bytes = bytes;
      decoded += floor_decode_kept(block, buffers, profile);
    }
    if (decoded != points) {
      state.SkipWithError("the floor failed to read or decode a block");
      break;
    }
  }
  ::close(fd);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

bool decodable(const Block& block, bool profile) {
  if (profile) return block.calibration != nullptr;
  return block.params.format_id == 3 || (block.params.format_id == 2 && block.calibration != nullptr);
}

}  // namespace

void register_decode(const BenchRun& run) {
  const bool profile = !run.profile_blocks.empty();
  std::vector<Block> blocks;
  std::uint64_t points = 0;
  for (const Block& block : profile ? run.profile_blocks : run.centroid_blocks) {
    if (!decodable(block, profile)) continue;
    blocks.push_back(block);
    points += block.params.point_count;
  }
  if (blocks.empty()) return;
  benchmark::RegisterBenchmark(
      ("decode/karvel/" + run.name).c_str(),
      [blocks, profile, points](benchmark::State& state) { karvel_decode(state, blocks, profile, points); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(
      ("decode/floor/" + run.name).c_str(),
      [blocks, profile, points](benchmark::State& state) { floor_decode(state, blocks, profile, points); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  const std::string path = profile ? run.reader->profile_path() : run.reader->peak_path();
  benchmark::RegisterBenchmark(("decode/floor_read/" + run.name).c_str(),
                               [path, blocks, profile, points](benchmark::State& state) {
                                 floor_read_decode(state, path, blocks, profile, points);
                               })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

}  // namespace karvel::bench
