// MSPeak.bin block: u8 format id, u8 whose low bit withholds the
// calibration, u32 point count (unbounded: nothing is allocated before the
// block size is checked), then the block.
#include <cstddef>
#include <cstdint>

#include "fixed_calibration.hpp"
#include "fuzz_input.hpp"
#include "raw/mspeak.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::FuzzInput input(data, size);
  karvel::raw::msscan::SpectrumParams params;
  params.format_id = input.u8();
  const bool without_calibration = input.u8() & 1;
  params.point_count = input.u32();
  const auto block = input.rest();
  params.byte_count = static_cast<std::uint32_t>(block.size());
  const auto* calibration = without_calibration ? nullptr : &karvel::fuzz::fixed_calibration();
  auto peaks = karvel::raw::mspeak::decode_peak_block(block, params, calibration);
  if (peaks && (peaks->mz.size() != params.point_count ||
                peaks->intensity.size() != params.point_count)) {
    __builtin_trap();
  }
  return 0;
}
