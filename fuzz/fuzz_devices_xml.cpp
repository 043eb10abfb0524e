// Devices.xml: the whole input is the file's bytes.
#include <cstddef>
#include <cstdint>

#include "quiet_log.hpp"
#include "raw/metadata.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::enable_silent_logging();
  auto device = karvel::raw::metadata::parse_devices_xml("Devices.xml", {data, size});
  if (device && (device->name.empty() || device->model.empty())) __builtin_trap();
  return 0;
}
