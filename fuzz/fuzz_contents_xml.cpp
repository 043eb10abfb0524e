// Contents.xml: the whole input is the file.
#include <cstddef>
#include <cstdint>

#include "memory_file.hpp"
#include "quiet_log.hpp"
#include "raw/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static karvel::fuzz::MemoryFile file;
  karvel::fuzz::enable_silent_logging();
  auto time = karvel::raw::metadata::parse_acquired_time(file.hold(data, size));
  if (time && time->empty()) __builtin_trap();
  return 0;
}
