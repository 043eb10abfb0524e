// LZF decompression throughput (bytes of output per second): karvel's
// decompressor, returning a new buffer per block as the reader uses it,
// against liblzf's lzf_decompress into a reused buffer.
#include <benchmark/benchmark.h>
#include <lzf.h>

#include "benchmarks.hpp"
#include "floor.hpp"
#include "raw/lzf.hpp"

namespace karvel::bench {
namespace {

std::vector<Block> lzf_blocks(const BenchRun& run) {
  std::vector<Block> blocks;
  for (const Block& block : run.profile_blocks) {
    if (!is_run_length(block) && block.params.uncompressed_byte_count) blocks.push_back(block);
  }
  return blocks;
}

std::uint64_t output_bytes(const std::vector<Block>& blocks) {
  std::uint64_t total = 0;
  for (const Block& block : blocks) total += *block.params.uncompressed_byte_count;
  return total;
}

void karvel_lzf(benchmark::State& state, const std::vector<Block>& blocks) {
  for (auto _ : state) {
    for (const Block& block : blocks) {
      auto output = raw::lzf::decompress(block.bytes, *block.params.uncompressed_byte_count);
      if (!output) {
        state.SkipWithError("karvel LZF failed");
        return;
      }
      benchmark::DoNotOptimize(output->data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * output_bytes(blocks)));
}

void liblzf(benchmark::State& state, const std::vector<Block>& blocks) {
  std::uint64_t largest = 0;
  for (const Block& block : blocks) largest = std::max<std::uint64_t>(largest, *block.params.uncompressed_byte_count);
  std::vector<std::uint8_t> output(largest);
  for (auto _ : state) {
    for (const Block& block : blocks) {
      const unsigned expected = static_cast<unsigned>(*block.params.uncompressed_byte_count);
      unsigned got = lzf_decompress(block.bytes.data(), static_cast<unsigned>(block.bytes.size()),
                                    output.data(), expected);
      if (got != expected) {
        state.SkipWithError("liblzf failed");
        return;
      }
      benchmark::DoNotOptimize(output.data());
      benchmark::ClobberMemory();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * output_bytes(blocks)));
}

}  // namespace

void register_lzf(const BenchRun& run) {
  auto blocks = lzf_blocks(run);
  if (blocks.empty()) return;
  benchmark::RegisterBenchmark(("lzf/karvel/" + run.name).c_str(),
                               [blocks](benchmark::State& state) { karvel_lzf(state, blocks); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(("lzf/liblzf/" + run.name).c_str(),
                               [blocks](benchmark::State& state) { liblzf(state, blocks); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

}  // namespace karvel::bench
