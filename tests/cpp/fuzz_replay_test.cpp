// Replays the saved fuzzer inputs of data/fuzz/<target>/ (reproducers of
// past findings and a minimized corpus per target) through the very same
// harnesses as the libFuzzer build, so that the sanitizer build of the unit
// tests checks them too. A harness traps on a wrong result; the sanitizers
// report anything else.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#define LLVMFuzzerTestOneInput replay_msscan
#include "../../fuzz/fuzz_msscan.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_lzf
#include "../../fuzz/fuzz_lzf.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_profile_block
#include "../../fuzz/fuzz_profile_block.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_run_length
#include "../../fuzz/fuzz_run_length.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_peak_block
#include "../../fuzz/fuzz_peak_block.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_msmasscal
#include "../../fuzz/fuzz_msmasscal.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_defaultmasscal
#include "../../fuzz/fuzz_defaultmasscal.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_devices_xml
#include "../../fuzz/fuzz_devices_xml.cpp"
#undef LLVMFuzzerTestOneInput
#define LLVMFuzzerTestOneInput replay_contents_xml
#include "../../fuzz/fuzz_contents_xml.cpp"
#undef LLVMFuzzerTestOneInput

namespace {

using Harness = int (*)(const std::uint8_t*, std::size_t);

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs every saved input of the target; returns how many there were.
std::size_t replay(const std::string& target, Harness harness) {
  const std::filesystem::path folder = std::filesystem::path(KARVEL_TEST_DATA_DIR) / "fuzz" / target;
  std::size_t count = 0;
  if (!std::filesystem::is_directory(folder)) return 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    SCOPED_TRACE(entry.path().string());
    const std::vector<std::uint8_t> input = read_file(entry.path());
    harness(input.data(), input.size());
    ++count;
  }
  return count;
}

TEST(FuzzReplay, SavedInputsOfEveryDecoderPass) {
  const std::pair<const char*, Harness> targets[] = {
      {"fuzz_msscan", replay_msscan},
      {"fuzz_lzf", replay_lzf},
      {"fuzz_profile_block", replay_profile_block},
      {"fuzz_run_length", replay_run_length},
      {"fuzz_peak_block", replay_peak_block},
      {"fuzz_msmasscal", replay_msmasscal},
      {"fuzz_defaultmasscal", replay_defaultmasscal},
      {"fuzz_devices_xml", replay_devices_xml},
      {"fuzz_contents_xml", replay_contents_xml},
  };
  for (const auto& [target, harness] : targets) {
    SCOPED_TRACE(target);
    EXPECT_GT(replay(target, harness), 0u) << "no saved inputs";
  }
}

}  // namespace
