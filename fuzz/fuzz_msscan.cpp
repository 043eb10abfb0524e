// MSScan.bin: the whole input is the file image.
#include <cstddef>
#include <cstdint>

#include "raw/msscan.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto scan = karvel::raw::msscan::MSScan::from_bytes({data, size});
  if (scan && scan->records.size() != (size - scan->global_header_size) / scan->stride) {
    __builtin_trap();
  }
  return 0;
}
