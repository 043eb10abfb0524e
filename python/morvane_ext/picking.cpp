// _native.pick_peaks: the peak picker over arrays from anywhere, and
// _native.peak_picking_params: how a picking step is recorded in an output.
//
//   pick_peaks(mz, intensity, snr, keep_spikes) -> (mz float64, intensity float32)
//   peak_picking_params(mode, snr, keep_spikes, min_level, max_level) -> [(name, value)]
//
// mz is a C-contiguous buffer of float64, intensity one of float32 (the
// Python side converts); the first min(len(mz), len(intensity)) points are
// picked (centroid/peak_picker.hpp, pick_mz) without the interpreter lock.

#include <Python.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <string_view>
#include <utility>

#include "arrays.hpp"
#include "boundary.hpp"
#include "centroid/peak_picker.hpp"
#include "export/mzml_document.hpp"
#include "extension.hpp"
#include "heap_object.hpp"
#include "options.hpp"
#include "module_util.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace karvel::python::morvane {
namespace {

// A buffer held for the duration of a call.
class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // False (with a Python error) unless object is a C-contiguous buffer of
  // items of the struct format code `code` and size `size`.
  bool get(PyObject* object, char code, Py_ssize_t size, const char* what) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return false;
    held_ = true;
    std::string_view format = view_.format != nullptr ? view_.format : "B";
    if (!format.empty() && (format[0] == '=' || format[0] == '<' || format[0] == '@')) format.remove_prefix(1);
    if (view_.itemsize != size || format.size() != 1 || format[0] != code) {
      PyErr_Format(PyExc_ValueError, "%s must be a contiguous buffer of %s", what,
                   code == 'd' ? "float64" : "float32");
      return false;
    }
    return true;
  }

  template <typename T>
  std::span<const T> values() const {
    return {static_cast<const T*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(T)};
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* pick_peaks(PyObject* module, PyObject* args) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *mz_arg = nullptr, *intensity_arg = nullptr;
    double snr = centroid::kDefaultSnr;
    int keep_spikes = 0;
    if (!PyArg_ParseTuple(args, "OOdp:pick_peaks", &mz_arg, &intensity_arg, &snr, &keep_spikes)) return nullptr;
    if (!check_snr(snr)) return nullptr;
    HeldBuffer mz;
    HeldBuffer intensity;
    if (!mz.get(mz_arg, 'd', 8, "mz") || !intensity.get(intensity_arg, 'f', 4, "intensity")) return nullptr;
    const centroid::PickSettings settings{snr, keep_spikes != 0};
    raw::Peaks peaks = without_gil(
        [&] { return centroid::pick_mz(mz.values<double>(), intensity.values<float>(), settings); });
    ModuleState* state = state_of_module<ModuleState>(module);
    Ref mz_out = array_of(state, std::move(peaks.mz));
    if (!mz_out) return nullptr;
    Ref intensity_out = array_of(state, std::move(peaks.intensity));
    if (!intensity_out) return nullptr;
    return PyTuple_Pack(2, mz_out.get(), intensity_out.get());
  });
}

PyMethodDef pick_peaks_def = {
    "pick_peaks", pick_peaks, METH_VARARGS,
    "pick_peaks(mz, intensity, snr, keep_spikes, /)\n--\n\n"
    "The centroids of a profile given as float64 m/z and float32 intensity buffers."};

PyObject* peak_picking_params(PyObject*, PyObject* args) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const char* mode = nullptr;
    double snr = centroid::kDefaultSnr;
    int keep_spikes = 0;
    unsigned int min_level = 0, max_level = 0;
    if (!PyArg_ParseTuple(args, "sdpII:peak_picking_params", &mode, &snr, &keep_spikes, &min_level, &max_level)) {
      return nullptr;
    }
    const exporter::PeakPickingStep step{mode, snr, keep_spikes != 0, std::max(min_level, 1u), max_level};
    const auto params = exporter::peak_picking_params(step);
    Ref list(PyList_New(static_cast<Py_ssize_t>(params.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < params.size(); ++i) {
      PyObject* pair = Py_BuildValue("(s#s#)", params[i].first.data(), static_cast<Py_ssize_t>(params[i].first.size()),
                                     params[i].second.data(), static_cast<Py_ssize_t>(params[i].second.size()));
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return list.release();
  });
}

PyMethodDef peak_picking_params_def = {
    "peak_picking_params", peak_picking_params, METH_VARARGS,
    "peak_picking_params(mode, snr, keep_spikes, min_level, max_level, /)\n--\n\n"
    "A picking step's settings as (name, value) pairs, as mzML's processing method lists them."};

int add_pick_peaks(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return -1;
  for (PyMethodDef* def : {&pick_peaks_def, &peak_picking_params_def}) {
    Ref function(PyCMethod_New(def, module, name.get(), nullptr));
    if (!function || add_public(module, def->ml_name, function.get()) < 0) return -1;
  }
  return 0;
}

const Extension pick_peaks_extension(add_pick_peaks);

}  // namespace
}  // namespace karvel::python::morvane
