// Peak picker over arbitrary intensities with a fixed calibration: u8 whose
// value / 16 is the signal-to-noise threshold, then the intensities as
// little-endian floats (NaN, infinities and negatives included).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "centroid/peak_picker.hpp"
#include "fixed_calibration.hpp"
#include "fuzz_input.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  karvel::fuzz::FuzzInput input(data, size);
  const karvel::centroid::PickSettings settings{input.u8() / 16.0};
  const auto rest = input.rest();
  std::vector<float> intensity(rest.size() / sizeof(float));
  if (!intensity.empty()) std::memcpy(intensity.data(), rest.data(), intensity.size() * sizeof(float));

  std::vector<karvel::centroid::Apex> apexes;
  karvel::centroid::find_apexes(intensity, settings, apexes);
  double last = -1;
  for (const auto& apex : apexes) {
    if (!(apex.position > last) || apex.position > static_cast<double>(intensity.size()) - 1 ||
        !std::isfinite(apex.height) || !(apex.height > 0)) {
      __builtin_trap();
    }
    last = apex.position;
  }
  const karvel::centroid::FlightAxis axis{30000.0, 0.5};
  const auto peaks = karvel::centroid::pick_flight_times(intensity, axis,
                                                         karvel::fuzz::fixed_calibration(), settings);
  if (peaks.mz.size() != apexes.size() || peaks.intensity.size() != apexes.size()) __builtin_trap();
  for (std::size_t k = 1; k < peaks.mz.size(); ++k) {
    // The fixed calibration rises with flight time.
    if (!(peaks.mz[k] > peaks.mz[k - 1])) __builtin_trap();
  }
  std::vector<double> mz(intensity.size());
  for (std::size_t i = 0; i < mz.size(); ++i) mz[i] = 100.0 + 0.01 * static_cast<double>(i);
  if (karvel::centroid::pick_mz(mz, intensity, settings).mz.size() != apexes.size()) __builtin_trap();
  return 0;
}
