// _native.pick_peaks: the peak picker over arrays from anywhere.
//
//   pick_peaks(mz, intensity, snr, keep_spikes) -> (mz float64, intensity float32)
//
// mz is a C-contiguous buffer of float64, intensity one of float32 (the
// Python side converts); the first min(len(mz), len(intensity)) points are
// picked (centroid/peak_picker.hpp, pick_mz) without the interpreter lock.

#include <Python.h>

#include <cmath>
#include <span>
#include <string_view>
#include <utility>

#include "arrays.hpp"
#include "boundary.hpp"
#include "centroid/peak_picker.hpp"
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

int add_pick_peaks(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return -1;
  Ref function(PyCMethod_New(&pick_peaks_def, module, name.get(), nullptr));
  if (!function) return -1;
  return add_public(module, "pick_peaks", function.get());
}

const Extension pick_peaks_extension(add_pick_peaks);

}  // namespace
}  // namespace karvel::python::morvane
