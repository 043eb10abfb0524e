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

}  // namespace karvel::python::morvane
