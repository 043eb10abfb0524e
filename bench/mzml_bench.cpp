// Indexed mzML output of a whole run: karvel's C++ writer against the floor
// of the same work done in the simplest way: the data file read once, every
// block decoded by the decode floor, each array compressed to the zlib
// format (libdeflate at level 6, as the writer does) and base64-encoded
// (OpenSSL's encoder), and the text written to a file (the page cache). The
// floor writes no XML, no index and no checksum.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <libdeflate.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "benchmarks.hpp"
#include "export/mzml_writer.hpp"
#include "floor.hpp"

namespace karvel::bench {
namespace {

struct FloorEncoder {
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
  std::vector<std::uint8_t> compressed;
  std::string text;
  int fd = -1;

  explicit FloorEncoder(const std::string& path) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  }
  ~FloorEncoder() {
    libdeflate_free_compressor(compressor);
    if (fd >= 0) ::close(fd);
  }

  bool encode(const void* data, std::size_t size) {
    if (compressor == nullptr) return false;
    compressed.resize(libdeflate_zlib_compress_bound(compressor, size));
    const std::size_t length =
        libdeflate_zlib_compress(compressor, data, size, compressed.data(), compressed.size());
    if (length == 0) return false;
    text.resize((length + 2) / 3 * 4 + 1);
    const int encoded = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), compressed.data(),
                                        static_cast<int>(length));
    return ::write(fd, text.data(), static_cast<std::size_t>(encoded)) == encoded;
  }
};

void floor_mzml(benchmark::State& state, const BenchRun& run, const std::string& out) {
  const auto [profile, path, loaded, blocks, points] = main_blocks(run);
  FloorBuffers buffers;
  for (auto _ : state) {
    FloorEncoder encoder(out);
    std::vector<std::uint8_t> file = read_file(path);
    std::uint64_t done = 0;
    for (Block block : blocks) {
      block.bytes = std::span<const std::uint8_t>(file).subspan(
          static_cast<std::size_t>(block.bytes.data() - loaded.data()), block.bytes.size());
      const std::uint64_t count = profile ? floor_profile(block, buffers) : floor_centroid(block, buffers);
      if (!encoder.encode(buffers.mz.data(), count * sizeof(double)) ||
          !encoder.encode(buffers.intensity.data(), count * sizeof(float))) {
        state.SkipWithError("the floor failed to compress or write");
        return;
      }
      done += count;
    }
    if (done != points) {
      state.SkipWithError("the floor failed to decode a block");
      return;
    }
  }
  std::remove(out.c_str());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

void karvel_mzml(benchmark::State& state, const BenchRun& run, const std::string& out) {
  // The run outlives the benchmark: a shared pointer that owns nothing.
  const std::shared_ptr<const reader::Reader> reader(run.reader.get(), [](const reader::Reader*) {});
  const auto positions = exporter::select_scans(reader->scan(), {});
  const std::uint64_t points = main_blocks(run).points;
  for (auto _ : state) {
    auto writer = exporter::MzmlWriter::create(reader, out, positions, {});
    if (!writer || !(*writer)->finish()) {
      state.SkipWithError("karvel failed to write mzML");
      return;
    }
  }
  std::remove(out.c_str());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * points));
}

}  // namespace

void register_mzml(const BenchRun& run) {
  const std::string out = run.path + ".bench.mzML";
  benchmark::RegisterBenchmark(("mzml/karvel/" + run.name).c_str(),
                               [&run, out](benchmark::State& state) { karvel_mzml(state, run, out); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark(("mzml/floor/" + run.name).c_str(),
                               [&run, out](benchmark::State& state) { floor_mzml(state, run, out); })
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
}

}  // namespace karvel::bench
