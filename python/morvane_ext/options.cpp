#include "options.hpp"

#include <cmath>

#include "ref.hpp"

namespace karvel::python::morvane {

bool check_threads(unsigned threads) {
  if (threads >= 1) return true;
  PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
  return false;
}

bool check_snr(double snr) {
  if (snr >= 0 && std::isfinite(snr)) return true;
  PyErr_Format(PyExc_ValueError, "snr must be a non-negative number, not %R", Ref(PyFloat_FromDouble(snr)).get());
  return false;
}

std::optional<Picking> picking_of(int code, unsigned min_level, unsigned max_level, double snr,
                                  bool keep_spikes) {
  const auto choice = reader::block_choice_of(code);
  if (!choice) {
    PyErr_Format(PyExc_ValueError, "unknown block choice %d", code);
    return std::nullopt;
  }
  if (!check_snr(snr)) return std::nullopt;
  Picking picking;
  picking.choice = *choice;
  picking.centroid.min_ms_level = min_level;
  picking.centroid.max_ms_level = max_level;
  picking.centroid.pick.snr = snr;
  picking.centroid.pick.keep_spikes = keep_spikes;
  return picking;
}

std::optional<Encoding> encoding_of(int intensity_bits, int numpress_mz, int numpress_intensity, double mz_ppm) {
  using exporter::Numpress;
  const auto codec = [](int code) { return static_cast<Numpress>(code); };
  const bool mz_known = numpress_mz == 0 || codec(numpress_mz) == Numpress::Linear;
  const Numpress intensity = codec(numpress_intensity);
  const bool intensity_known = numpress_intensity == 0 || intensity == Numpress::Slof || intensity == Numpress::Pic;
  if ((intensity_bits != 32 && intensity_bits != 64) || !mz_known || !intensity_known || !(mz_ppm > 0) ||
      !std::isfinite(mz_ppm)) {
    PyErr_Format(PyExc_ValueError, "unknown array encoding (%d bits, numpress %d and %d)", intensity_bits,
                 numpress_mz, numpress_intensity);
    return std::nullopt;
  }
  Encoding encoding;
  encoding.intensity_bits =
      intensity_bits == 64 ? exporter::IntensityBits::Float64 : exporter::IntensityBits::Float32;
  encoding.numpress.mz = codec(numpress_mz);
  encoding.numpress.intensity = intensity;
  encoding.numpress.mz_ppm = mz_ppm;
  return encoding;
}

}  // namespace karvel::python::morvane
