#include "spectrum.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <new>

#include "arrays.hpp"
#include "boundary.hpp"
#include "centroid/peak_picker.hpp"
#include "convert.hpp"
#include "extension.hpp"
#include "heap_object.hpp"
#include "reader/scan_row.hpp"
#include "module_util.hpp"
#include "options.hpp"

namespace karvel::python::morvane {
namespace {

using morvane_core::types::SpectrumRecord;

struct SpectrumObject {
  PyObject_HEAD
  std::shared_ptr<const SpectrumRecord> record;
  PyObject* mz;         // the cached arrays, or nullptr until first access
  PyObject* intensity;
};

SpectrumObject* object_of(PyObject* self) { return reinterpret_cast<SpectrumObject*>(self); }
const SpectrumRecord& record_of(PyObject* self) { return *object_of(self)->record; }

void destroy_spectrum(SpectrumObject& object) noexcept {
  Py_CLEAR(object.mz);
  Py_CLEAR(object.intensity);
  object.record.~shared_ptr();
}


Ref index(const SpectrumRecord& r) { return to_int(r.index); }
Ref scan_id(const SpectrumRecord& r) { return to_int(std::uint64_t{r.scan_number}); }
Ref native_id(const SpectrumRecord& r) { return to_str(r.native_id); }
Ref ms_level(const SpectrumRecord& r) { return to_int(std::uint64_t{r.ms_level}); }
Ref rt(const SpectrumRecord& r) { return to_float(r.retention_time_sec); }
Ref polarity(const SpectrumRecord& r) { return text_or_none(r.polarity); }
Ref mode(const SpectrumRecord& r) { return text_or_none(r.scan_mode); }
Ref precursor_mz(const SpectrumRecord& r) {
  return r.precursor ? float_or_none(reader::precursor_mz(*r.precursor)) : Ref::borrow(Py_None);
}
Ref collision_energy(const SpectrumRecord& r) {
  return r.precursor ? float_or_none(r.precursor->collision_energy) : Ref::borrow(Py_None);
}
Ref tic(const SpectrumRecord& r) { return to_float(morvane_core::types::effective_tic(r)); }
Ref scan_window(const SpectrumRecord& r) {
  if (!r.low_mz || !r.high_mz) return Ref::borrow(Py_None);
  return Ref(Py_BuildValue("(dd)", *r.low_mz, *r.high_mz));
}
Ref base_peak_mz(const SpectrumRecord& r) {
  auto peak = morvane_core::types::effective_base_peak(r);
  return peak ? to_float(peak->first) : Ref::borrow(Py_None);
}
Ref base_peak_intensity(const SpectrumRecord& r) {
  auto peak = morvane_core::types::effective_base_peak(r);
  return peak ? to_float(peak->second) : Ref::borrow(Py_None);
}

// The cached array in *slot, made by make() on first access. The critical
// section keeps two threads from making two arrays.
template <class Make>
PyObject* cached([[maybe_unused]] PyObject* self, PyObject** slot, Make&& make) {
  PyObject* result = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  if (*slot == nullptr) *slot = make().release();
  result = Py_XNewRef(*slot);
  Py_END_CRITICAL_SECTION();
  return result;
}

PyObject* spectrum_mz(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] {
    SpectrumObject* object = object_of(self);
    return cached(self, &object->mz, [&] {
      return array_view<double>(state_of_type<ModuleState>(Py_TYPE(self)), object->record, object->record->mz);
    });
  });
}

PyObject* spectrum_intensity(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] {
    SpectrumObject* object = object_of(self);
    return cached(self, &object->intensity, [&] {
      return array_view<float>(state_of_type<ModuleState>(Py_TYPE(self)), object->record,
                               object->record->intensity);
    });
  });
}

Py_ssize_t spectrum_len(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(record_of(self).mz.size());
}

PyObject* spectrum_repr(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const SpectrumRecord& r = record_of(self);
    char rt_text[64];
    std::snprintf(rt_text, sizeof rt_text, "%.2f", r.retention_time_sec);
    Ref id = to_str(r.native_id);
    if (!id) return nullptr;
    return PyUnicode_FromFormat("Spectrum(%R, ms_level=%u, rt=%ss, %zu points)", id.get(),
                                static_cast<unsigned>(r.ms_level), rt_text, r.mz.size());
  });
}

Ref new_spectrum_object(ModuleState* state, std::shared_ptr<const SpectrumRecord> shared);

// Spectrum.centroided(*, snr=3.0, keep_spikes=False): a profile spectrum's peaks picked from its
// arrays (centroid/peak_picker.hpp, pick_mz), as a new centroid spectrum
// with the same scan fields; a centroid spectrum is returned as a new
// Spectrum over the same points. Picking runs without the interpreter lock.
PyObject* spectrum_centroided(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"snr", "keep_spikes", nullptr};
    double snr = centroid::kDefaultSnr;
    int keep_spikes = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$dp:centroided", const_cast<char**>(keywords), &snr,
                                     &keep_spikes)) {
      return nullptr;
    }
    if (!check_snr(snr)) return nullptr;
    ModuleState* state = state_of_type<ModuleState>(Py_TYPE(self));
    const std::shared_ptr<const SpectrumRecord>& record = object_of(self)->record;
    if (record->scan_mode != morvane_core::enums::ScanMode::Profile) {
      return new_spectrum_object(state, record).release();
    }
    auto picked = without_gil([&] {
      raw::Peaks peaks = centroid::pick_mz(record->mz, record->intensity,
                                           centroid::PickSettings{snr, keep_spikes != 0});
      SpectrumRecord copy;
      copy.index = record->index;
      copy.native_id = record->native_id;
      copy.scan_number = record->scan_number;
      copy.ms_level = record->ms_level;
      copy.polarity = record->polarity;
      copy.scan_mode = morvane_core::enums::ScanMode::Centroid;
      copy.retention_time_sec = record->retention_time_sec;
      copy.mz = std::move(peaks.mz);
      copy.intensity = std::move(peaks.intensity);
      copy.low_mz = record->low_mz;
      copy.high_mz = record->high_mz;
      copy.total_ion_current = record->total_ion_current;
      copy.base_peak_mz = record->base_peak_mz;
      copy.base_peak_intensity = record->base_peak_intensity;
      copy.filter = record->filter;
      copy.analyzer = record->analyzer;
      copy.faims_cv = record->faims_cv;
      copy.inv_mobility = record->inv_mobility;
      copy.ion_injection_time_ms = record->ion_injection_time_ms;
      copy.acquisition_event_id = record->acquisition_event_id;
      copy.precursor = record->precursor;
      copy.extra = record->extra;
      return std::make_shared<const SpectrumRecord>(std::move(copy));
    });
    return new_spectrum_object(state, std::move(picked)).release();
  });
}

PyGetSetDef spectrum_getset[] = {
    {"index", getter<record_of, index>, nullptr, "Position in the scan table.", nullptr},
    {"scan_id", getter<record_of, scan_id>, nullptr, "The scan's id in the scan table.", nullptr},
    {"native_id", getter<record_of, native_id>, nullptr, "\"scanId=\" and the scan id.", nullptr},
    {"ms_level", getter<record_of, ms_level>, nullptr, nullptr, nullptr},
    {"rt", getter<record_of, rt>, nullptr, "Retention time in seconds.", nullptr},
    {"polarity", getter<record_of, polarity>, nullptr, "\"positive\", \"negative\" or None.", nullptr},
    {"mode", getter<record_of, mode>, nullptr, "\"profile\" or \"centroid\": the block the points came from.",
     nullptr},
    {"precursor_mz", getter<record_of, precursor_mz>, nullptr, nullptr, nullptr},
    {"collision_energy", getter<record_of, collision_energy>, nullptr, nullptr, nullptr},
    {"tic", getter<record_of, tic>, nullptr, "Reported total ion current, else the sum of the intensities.",
     nullptr},
    {"base_peak_mz", getter<record_of, base_peak_mz>, nullptr, nullptr, nullptr},
    {"scan_window", getter<record_of, scan_window>, nullptr,
     "(low, high): the m/z range the scan covered, as its record states; None when it states none.", nullptr},
    {"base_peak_intensity", getter<record_of, base_peak_intensity>, nullptr, nullptr, nullptr},
    {"mz", spectrum_mz, nullptr, "Read-only float64 array of m/z values.", nullptr},
    {"intensity", spectrum_intensity, nullptr, "Read-only float32 array of intensities.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// plot(**layout): the spectrum as a plotly figure, drawn by the function
// the package registered (set_spectrum_plot): the extension imports nothing
// of the package.
PyObject* spectrum_plot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* plot = state_of_type<ModuleState>(Py_TYPE(self))->spectrum_plot;
    if (plot == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, "no plotting function is registered (set_spectrum_plot)");
      return nullptr;
    }
    Ref first(PyTuple_Pack(1, self));
    if (!first) return nullptr;
    Ref self_first(PySequence_Concat(first.get(), args));
    if (!self_first) return nullptr;
    return PyObject_Call(plot, self_first.get(), kwargs);
  });
}

// Two spectra are equal when they hold the same scan read the same way:
// the same position, native id, level, retention time, mode and points
// (compared as stored, bit for bit, so that a NaN equals itself).
bool same_spectrum(const SpectrumRecord& a, const SpectrumRecord& b) noexcept {
  const auto same_bits = [](const auto& x, const auto& y) {
    return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof x[0]) == 0);
  };
  return a.index == b.index && a.native_id == b.native_id && a.ms_level == b.ms_level &&
         std::memcmp(&a.retention_time_sec, &b.retention_time_sec, sizeof(double)) == 0 &&
         a.scan_mode == b.scan_mode && a.polarity == b.polarity && same_bits(a.mz, b.mz) &&
         same_bits(a.intensity, b.intensity);
}

PyObject* spectrum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = object_of(self)->record == object_of(other)->record ||
                     same_spectrum(record_of(self), record_of(other));
  return PyBool_FromLong((op == Py_EQ) == equal);
}

// Equal spectra share position and native id.
Py_hash_t spectrum_hash(PyObject* self) noexcept {
  const SpectrumRecord& r = record_of(self);
  const Py_hash_t hash = static_cast<Py_hash_t>(std::hash<std::string>{}(r.native_id) * 31u + r.index);
  return hash == -1 ? -2 : hash;
}

// set_spectrum_plot(function, /): what Spectrum.plot(**layout) calls, as
// function(spectrum, **layout).
PyObject* set_spectrum_plot(PyObject* module, PyObject* function) noexcept {
  if (!PyCallable_Check(function)) {
    PyErr_SetString(PyExc_TypeError, "set_spectrum_plot needs a callable");
    return nullptr;
  }
  Py_XSETREF(state_of_module<ModuleState>(module)->spectrum_plot, Py_NewRef(function));
  Py_RETURN_NONE;
}

PyMethodDef set_spectrum_plot_def = {
    "set_spectrum_plot", set_spectrum_plot, METH_O,
    "set_spectrum_plot(function, /)\n--\n\nRegisters what Spectrum.plot(**layout) calls: function(spectrum, **layout)."};

int add_spectrum_plot(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return -1;
  Ref function(PyCFunction_NewEx(&set_spectrum_plot_def, module, name.get()));
  if (!function) return -1;
  return add_public(module, set_spectrum_plot_def.ml_name, function.get());
}

const Extension spectrum_plot_extension(add_spectrum_plot);

PyMethodDef spectrum_methods[] = {
    {"plot", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spectrum_plot)),
     METH_VARARGS | METH_KEYWORDS,
     "plot($self, /, **layout)\n--\n\nThe spectrum as a plotly figure (needs the report extra)."},
    {"centroided", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spectrum_centroided)),
     METH_VARARGS | METH_KEYWORDS,
     "centroided($self, /, *, snr=3.0, keep_spikes=False)\n--\n\n"
     "The peaks of a profile spectrum as a new centroid spectrum: one point per peak,\n"
     "at the m/z of its fitted apex, with the apex height; peaks below snr times the\n"
     "spectrum's noise level (the median of all its points) are dropped, snr=0 keeps\n"
     "every maximum; single-point spikes are dropped unless keep_spikes. A centroid\n"
     "spectrum comes back unchanged."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot spectrum_slots[] = {
    {Py_tp_doc, const_cast<char*>("One decoded spectrum with read-only numpy peak arrays.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<SpectrumObject, destroy_spectrum>)},
    {Py_tp_repr, reinterpret_cast<void*>(spectrum_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(spectrum_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(spectrum_hash)},
    {Py_tp_getset, spectrum_getset},
    {Py_tp_methods, spectrum_methods},
    {Py_sq_length, reinterpret_cast<void*>(spectrum_len)},
    {0, nullptr},
};

PyType_Spec spectrum_type_spec = {
    "morvane.Spectrum",
    sizeof(SpectrumObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_slots,
};

}  // namespace

PyType_Spec* spectrum_spec() { return &spectrum_type_spec; }

namespace {

Ref new_spectrum_object(ModuleState* state, std::shared_ptr<const SpectrumRecord> shared) {
  PyTypeObject* type = state->spectrum;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return Ref();
  SpectrumObject* object = object_of(self.get());
  new (&object->record) std::shared_ptr<const SpectrumRecord>(std::move(shared));
  object->mz = nullptr;
  object->intensity = nullptr;
  return self;
}

}  // namespace

Ref new_spectrum(ModuleState* state, SpectrumRecord record) {
  return new_spectrum_object(state, std::make_shared<const SpectrumRecord>(std::move(record)));
}

Ref new_spectrum(ModuleState* state, SpectrumRecord record, std::weak_ptr<PeakBuffers> buffers) {
  auto recycle = [buffers = std::move(buffers)](SpectrumRecord* owned) noexcept {
    if (auto alive = buffers.lock()) {
      alive->give(raw::Peaks{std::move(owned->mz), std::move(owned->intensity)});
    }
    delete owned;
  };
  auto owned = std::make_unique<SpectrumRecord>(std::move(record));
  // Should the control block fail to allocate, the deleter runs on the record.
  std::shared_ptr<const SpectrumRecord> shared(owned.release(), std::move(recycle));
  return new_spectrum_object(state, std::move(shared));
}

}  // namespace karvel::python::morvane
