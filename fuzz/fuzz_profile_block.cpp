// MSProfile.bin block with a fixed calibration: u32 point count, u32
// uncompressed byte count (see bounded_count), u8 whose low bit drops the
// uncompressed byte count, then the block.
#include <cstddef>
#include <cstdint>

#include "fixed_calibration.hpp"
#include "fuzz_input.hpp"
#include "raw/msprofile.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::FuzzInput input(data, size);
  karvel::raw::msscan::SpectrumParams params;
  params.format_id = 1;
  params.point_count = karvel::fuzz::bounded_count(input.u32(), 1u << 14);
  params.uncompressed_byte_count = karvel::fuzz::bounded_count(input.u32(), 1u << 17);
  if (input.u8() & 1) params.uncompressed_byte_count.reset();
  const auto block = input.rest();
  params.byte_count = static_cast<std::uint32_t>(block.size());
  auto peaks =
      karvel::raw::msprofile::decode_profile_block(block, params, karvel::fuzz::fixed_calibration());
  if (peaks && (peaks->mz.size() != peaks->intensity.size() ||
                (params.point_count != 0 && peaks->mz.size() != params.point_count))) {
    __builtin_trap();
  }
  return 0;
}
