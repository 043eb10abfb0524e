// Devices.xml: the whole input is the file.
#include <cstddef>
#include <cstdint>

#include "memory_file.hpp"
#include "quiet_log.hpp"
#include "raw/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static karvel::fuzz::MemoryFile file;
  karvel::fuzz::enable_silent_logging();
  auto device = karvel::raw::metadata::parse_devices_xml(file.hold(data, size));
  if (device && (device->name.empty() || device->model.empty())) __builtin_trap();
  return 0;
}
