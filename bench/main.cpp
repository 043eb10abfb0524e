// karvel_bench [benchmark flags] NAME=RUN.d ...
//
// Loads each generated run and registers its benchmarks under NAME.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench_run.hpp"
#include "benchmarks.hpp"

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  std::vector<std::unique_ptr<karvel::bench::BenchRun>> runs;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto equals = argument.find('=');
    if (equals == std::string::npos || equals == 0) {
      std::fprintf(stderr, "usage: karvel_bench [benchmark flags] NAME=RUN.d ...\n");
      return 2;
    }
    runs.push_back(std::make_unique<karvel::bench::BenchRun>(
        karvel::bench::load_run(argument.substr(0, equals), argument.substr(equals + 1))));
    karvel::bench::register_lzf(*runs.back());
    karvel::bench::register_decode(*runs.back());
    karvel::bench::register_run(*runs.back());
    karvel::bench::register_mzml(*runs.back());
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
