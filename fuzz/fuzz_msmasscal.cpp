// MSMassCal.bin: the whole input is the file image; every record that
// parses is also turned into a calibration, as the reader does.
#include <cstddef>
#include <cstdint>

#include "raw/calibration.hpp"
#include "raw/msmasscal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto records = karvel::raw::msmasscal::parse_bytes({data, size});
  if (!records) return 0;
  for (const auto& record : *records) {
    if (record.coefficients.size() > karvel::raw::msmasscal::kMaxCoefficients) __builtin_trap();
    for (std::uint32_t flags : {0b111u, 0x3Fu, 0x80000001u}) {
      auto calibration = karvel::raw::calibration::TofCalibration::from_coefficients(
          record.coefficients, flags, false);
      if (calibration) (void)calibration->mz(30000.0);
    }
  }
  return 0;
}
