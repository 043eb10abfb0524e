// Run-length profile stream: u32 point count (see bounded_count), then the
// stream starting with its marker.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.hpp"
#include "raw/msprofile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::FuzzInput input(data, size);
  const std::uint32_t point_count = karvel::fuzz::bounded_count(input.u32(), 1u << 14);
  auto intensities = karvel::raw::msprofile::decode_run_length(input.rest(), point_count);
  if (intensities && intensities->size() != point_count) __builtin_trap();
  return 0;
}
