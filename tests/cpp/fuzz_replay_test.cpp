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

// Every harness of fuzz/targets.txt, included as replay_<target>, and the
// table KARVEL_FUZZ_REPLAY_TARGETS of {"<target>", replay_<target>} pairs.
#include "fuzz_replay_targets.hpp"

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
  const std::pair<const char*, Harness> targets[] = {KARVEL_FUZZ_REPLAY_TARGETS};
  for (const auto& [target, harness] : targets) {
    SCOPED_TRACE(target);
    EXPECT_GT(replay(target, harness), 0u) << "no saved inputs";
  }
}

}  // namespace
