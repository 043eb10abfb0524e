// Registration of the benchmarks of one loaded run; the run must outlive them.
#pragma once

#include "bench_run.hpp"

namespace karvel::bench {

// lzf/karvel and lzf/liblzf on the run's LZF profile blocks.
void register_lzf(const BenchRun& run);
// decode/karvel and decode/floor on every profile or centroid block.
void register_decode(const BenchRun& run);
// run/karvel (open the folder and decode every spectrum into memory),
// run/floor (read the data file once, then the decode floor) and run/arrays
// (obtain and write the memory of every decoded array).
void register_run(const BenchRun& run);
// mzml/karvel (the indexed mzML writer over every spectrum, to a file) and
// mzml/floor (decode floor, zlib and base64 of every array, written out).
void register_mzml(const BenchRun& run);

}  // namespace karvel::bench
