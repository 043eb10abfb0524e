// A whole run: karvel opening the folder and decoding every spectrum into
// memory (what RawReader does, without Python; releasing the records is not
// timed), against reading the data file once and the decode floor over its
// blocks.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include "benchmarks.hpp"
#include "floor.hpp"

namespace karvel::bench {
namespace {

void karvel_run(benchmark::State& state, const std::string& path, std::uint64_t points) {
  for (auto _ : state) {
    auto reader = reader::Reader::open(path);
    if (!reader) {
      state.SkipWithError("karvel failed to open the run");
      return;
    }
    auto sequence = (*reader)->iter_spectra();
    std::vector<morvane_core::types::SpectrumRecord> records;
    records.reserve(sequence->remaining());
    std::uint64_t decoded = 0;
    while (auto item = sequence->next()) {
      if (!*item) {
        state.SkipWithError("karvel failed to decode a spectrum");
        return;
      }
      decoded += (*item)->mz.size();
      records.push_back(std::move(**item));
    }
    if (decoded != points) {
      state.SkipWithError("karvel decoded another number of points");
      return;
    }
    benchmark::DoNotOptimize(records.data());
    // Releasing the records is not part of building them; the memory goes
    // back to the system, so every repetition starts as a fresh process does.
    state.PauseTiming();
    records = {};
    ::malloc_trim(0);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

void floor_run(benchmark::State& state, const BenchRun& run) {
  const auto [profile, path, loaded, blocks, points] = main_blocks(run);
  FloorBuffers buffers;
  for (auto _ : state) {
    std::vector<std::uint8_t> file = read_file(path);
    std::uint64_t decoded = 0;
    for (Block block : blocks) {
      // The same block, taken from the bytes just read.
      block.bytes = std::span<const std::uint8_t>(file).subspan(
          static_cast<std::size_t>(block.bytes.data() - loaded.data()), block.bytes.size());
      decoded += profile ? floor_profile(block, buffers) : floor_centroid(block, buffers);
      benchmark::DoNotOptimize(buffers.mz.data());
      benchmark::ClobberMemory();
    }
    if (decoded != points) {
      state.SkipWithError("the floor failed to decode a block");
      return;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

// The memory a run's decoded arrays need, obtained and written once per
// spectrum as a reader that keeps them must: the part of building a run in
// memory that no decoder can avoid.
void arrays_run(benchmark::State& state, const BenchRun& run) {
  const auto& blocks = main_blocks(run).blocks;
  std::uint64_t points = 0;
  for (auto _ : state) {
    std::vector<std::pair<std::vector<double>, std::vector<float>>> arrays;
    arrays.reserve(blocks.size());
    points = 0;
    for (const Block& block : blocks) {
      arrays.emplace_back(std::vector<double>(block.params.point_count),
                          std::vector<float>(block.params.point_count));
      points += block.params.point_count;
    }
    benchmark::DoNotOptimize(arrays.data());
    state.PauseTiming();
    arrays = {};
    ::malloc_trim(0);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

// A pass over every spectrum record of an opened run, each decoded into the
// arrays of the one before (as morvane's passes do), with or without the
// record's extra map of stored block parameters.
void records_pass(benchmark::State& state, const std::string& path, reader::Extra extra) {
  auto opened = reader::Reader::open(path);
  if (!opened) {
    state.SkipWithError("karvel failed to open the run");
    return;
  }
  const reader::Reader& run = **opened;
  reader::RunFiles files = run.open_files();
  reader::BlockReaders readers(files);
  const std::uint64_t count = run.scan_count();
  for (auto _ : state) {
    raw::Peaks reuse;
    for (std::uint64_t i = 0; i < count; ++i) {
      auto spectrum = run.spectrum(i, reader::BlockChoice::Auto, std::move(reuse), &readers, {}, extra);
      if (!spectrum) {
        state.SkipWithError("karvel failed to decode a spectrum");
        return;
      }
      benchmark::DoNotOptimize(spectrum->extra.size());
      reuse = raw::Peaks{std::move(spectrum->mz), std::move(spectrum->intensity)};
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}

}  // namespace

void register_run(const BenchRun& run) {
  benchmark::RegisterBenchmark(("records/extra/" + run.name).c_str(),
                               [&run](benchmark::State& state) { records_pass(state, run.path, reader::Extra::Build); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(("records/points/" + run.name).c_str(),
                               [&run](benchmark::State& state) { records_pass(state, run.path, reader::Extra::Skip); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  const std::uint64_t points = main_blocks(run).points;
  benchmark::RegisterBenchmark(("run/karvel/" + run.name).c_str(),
                               [&run, points](benchmark::State& state) { karvel_run(state, run.path, points); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(("run/arrays/" + run.name).c_str(),
                               [&run](benchmark::State& state) { arrays_run(state, run); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(("run/floor/" + run.name).c_str(),
                               [&run](benchmark::State& state) { floor_run(state, run); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

}  // namespace karvel::bench
