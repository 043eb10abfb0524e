// Test tool: writes indexed mzML for one run folder with the C++ writer.
//   write_mzml RUN.d OUT.mzML [--ms-level N]... [--rt LO:HI] [--centroid]
//              [--no-zlib] [--intensity-bits 64]
// Exit status 0 on success; 1 with the error's text on standard error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "export/mzml_writer.hpp"

int main(int argc, char** argv) {
  using namespace karvel;
  if (argc < 3) {
    std::fprintf(stderr, "usage: write_mzml RUN.d OUT.mzML [options]\n");
    return 2;
  }
  exporter::MzmlOptions options;
  exporter::ScanFilter filter;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ms-level" && i + 1 < argc) {
      filter.ms_levels.push_back(static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10)));
    } else if (arg == "--rt" && i + 1 < argc) {
      const std::string range = argv[++i];
      const auto colon = range.find(':');
      filter.rt_range_sec = {std::strtod(range.substr(0, colon).c_str(), nullptr),
                              std::strtod(range.substr(colon + 1).c_str(), nullptr)};
    } else if (arg == "--centroid") {
      options.mode = exporter::PeakMode::Centroid;
    } else if (arg == "--no-zlib") {
      options.zlib = false;
    } else if (arg == "--intensity-bits" && i + 1 < argc) {
      options.intensity_bits = std::string(argv[++i]) == "64" ? exporter::IntensityBits::Float64
                                                               : exporter::IntensityBits::Float32;
    } else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      return 2;
    }
  }
  auto reader = reader::Reader::open(argv[1]);
  if (!reader) {
    std::fprintf(stderr, "%s\n", reader.error().display().c_str());
    return 1;
  }
  std::shared_ptr<const reader::Reader> opened(std::move(*reader));
  auto writer = exporter::MzmlWriter::create(opened, argv[2],
                                             exporter::select_scans(opened->scan(), filter), options);
  if (!writer) {
    std::fprintf(stderr, "%s\n", writer.error().display().c_str());
    return 1;
  }
  if (auto done = (*writer)->finish(); !done) {
    std::fprintf(stderr, "%s\n", done.error().display().c_str());
    return 1;
  }
  return 0;
}
