// LZF: u32 expected length (see bounded_count), then the compressed stream.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.hpp"
#include "raw/lzf.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::FuzzInput input(data, size);
  const std::uint32_t expected = karvel::fuzz::bounded_count(input.u32(), 1u << 16);
  auto output = karvel::raw::lzf::decompress(input.rest(), expected);
  if (output && output->size() != expected) __builtin_trap();
  return 0;
}
