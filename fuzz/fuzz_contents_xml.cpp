// Contents.xml: the whole input is the file's bytes.
#include <cstddef>
#include <cstdint>

#include "quiet_log.hpp"
#include "raw/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::enable_silent_logging();
  auto time = karvel::raw::metadata::parse_acquired_time("Contents.xml", {data, size});
  if (time && time->empty()) __builtin_trap();
  return 0;
}
