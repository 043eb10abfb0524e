// MS-Numpress: u8 whose value mod 3 picks linear, slof or pic. The rest is
// decoded as that encoding; then, read as little-endian doubles, encoded
// and decoded again, which must give the values back within the encoding's
// bound.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "export/numpress.hpp"
#include "fuzz_input.hpp"

namespace np = karvel::exporter::numpress;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::FuzzInput input(data, size);
  const unsigned codec = input.u8() % 3;
  const auto rest = input.rest();
  if (codec == 0) (void)np::decode_linear(rest);
  if (codec == 1) (void)np::decode_slof(rest);
  if (codec == 2) (void)np::decode_pic(rest);

  std::vector<double> values(rest.size() / sizeof(double));
  if (!values.empty()) std::memcpy(values.data(), rest.data(), values.size() * sizeof(double));
  std::vector<std::uint8_t> bytes;
  if (codec == 0) {
    const double f = np::linear_fixed_point(values, 0.1);
    if (f == 0 || !np::encode_linear(values, f, bytes)) return 0;
    auto decoded = np::decode_linear(bytes);
    if (!decoded || decoded->size() != values.size()) __builtin_trap();
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!(std::fabs((*decoded)[i] - values[i]) <= 1.5 / f * (1 + 1e-9) + 1e-300)) __builtin_trap();
    }
  } else if (codec == 1) {
    const double f = np::slof_fixed_point(values);
    if (!np::encode_slof(values, f, bytes)) return 0;
    auto decoded = np::decode_slof(bytes);
    if (!decoded || decoded->size() != values.size()) __builtin_trap();
    const double relative = std::exp(0.5 / f) - 1;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!(std::fabs((*decoded)[i] - values[i]) <= relative * (values[i] + 1) * (1 + 1e-6))) {
        __builtin_trap();
      }
    }
  } else {
    if (!np::encode_pic(values, bytes)) return 0;
    auto decoded = np::decode_pic(bytes);
    if (!decoded || decoded->size() != values.size()) __builtin_trap();
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (!(std::fabs((*decoded)[i] - values[i]) <= 0.5)) __builtin_trap();
    }
  }
  return 0;
}
