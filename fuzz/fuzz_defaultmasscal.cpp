// DefaultMassCal.xml: the whole input is the document text; every entry
// that parses is also turned into a calibration.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "raw/defaultmasscal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto entries = karvel::raw::defaultmasscal::parse_str(
      std::string_view(reinterpret_cast<const char*>(data), size));
  if (!entries) return 0;
  if (entries->empty()) __builtin_trap();
  for (const auto& entry : *entries) {
    auto calibration = entry.to_tof();
    if (calibration) (void)calibration->mz(30000.0);
  }
  return 0;
}
