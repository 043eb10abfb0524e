// Spectrum: a read-only view of one spectrum record that the object owns.

#include <Python.h>

#include <charconv>
#include <cmath>
#include <memory>
#include <new>
#include <string>

#include "boundary.hpp"
#include "convert.hpp"
#include "heap_object.hpp"
#include "lists.hpp"
#include "objects.hpp"
#include "ref.hpp"

namespace karvel::python {
namespace {

using morvane_core::types::Precursor;
using morvane_core::types::SpectrumRecord;

// Immutable once made: every method only reads the record.
struct SpectrumObject {
  PyObject_HEAD
  std::unique_ptr<const SpectrumRecord> record;
};

SpectrumObject* object_of(PyObject* self) { return reinterpret_cast<SpectrumObject*>(self); }
const SpectrumRecord& record_of(PyObject* self) { return *object_of(self)->record; }

void destroy_spectrum(SpectrumObject& object) noexcept { object.record.~unique_ptr(); }

// Runs body(record).
template <class R, class Body>
R with_record(PyObject* self, R failure, Body&& body) noexcept {
  return guarded<R>(failure, [&]() -> R { return body(*object_of(self)->record); });
}

Ref precursor_dict(const Precursor& precursor) {
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!dict || !put(d, "target_mz", float_or_none(precursor.target_mz)) ||
      !put(d, "selected_mz", float_or_none(precursor.selected_mz)) ||
      !put(d, "isolation_width", float_or_none(precursor.isolation_width)) ||
      !put(d, "charge", int_or_none(precursor.charge)) ||
      !put(d, "intensity", float_or_none(precursor.intensity)) ||
      !put(d, "collision_energy", float_or_none(precursor.collision_energy)) ||
      !put(d, "ce_is_nce", Ref(PyBool_FromLong(precursor.ce_is_nce))) ||
      !put(d, "precursor_native_id", str_or_none(precursor.precursor_native_id)) ||
      !put(d, "activation", text_or_none(precursor.activation)) ||
      !put(d, "analyzer", text_or_none(precursor.analyzer)) ||
      !put(d, "ccs", float_or_none(precursor.ccs))) {
    return Ref();
  }
  return dict;
}

// One builder per property, in the order the class declares them.
Ref index(const SpectrumRecord& r) { return to_int(r.index); }
Ref scan_number(const SpectrumRecord& r) { return to_int(std::uint64_t{r.scan_number}); }
Ref native_id(const SpectrumRecord& r) { return to_str(r.native_id); }
Ref ms_level(const SpectrumRecord& r) { return to_int(std::uint64_t{r.ms_level}); }
Ref polarity(const SpectrumRecord& r) { return text_or_none(r.polarity); }
Ref scan_mode(const SpectrumRecord& r) { return text_or_none(r.scan_mode); }
Ref analyzer(const SpectrumRecord& r) { return text_or_none(r.analyzer); }
Ref acquisition_event_id(const SpectrumRecord& r) { return int_or_none(r.acquisition_event_id); }
Ref filter(const SpectrumRecord& r) { return str_or_none(r.filter); }
Ref retention_time_sec(const SpectrumRecord& r) { return to_float(r.retention_time_sec); }
Ref total_ion_current(const SpectrumRecord& r) {
  return to_float(morvane_core::types::effective_tic(r));
}
Ref reported_total_ion_current(const SpectrumRecord& r) { return float_or_none(r.total_ion_current); }
Ref base_peak_mz(const SpectrumRecord& r) {
  auto peak = morvane_core::types::effective_base_peak(r);
  return peak ? to_float(peak->first) : Ref::borrow(Py_None);
}
Ref reported_base_peak_mz(const SpectrumRecord& r) { return float_or_none(r.base_peak_mz); }
Ref base_peak_intensity(const SpectrumRecord& r) {
  auto peak = morvane_core::types::effective_base_peak(r);
  return peak ? to_float(peak->second) : Ref::borrow(Py_None);
}
Ref reported_base_peak_intensity(const SpectrumRecord& r) {
  return float_or_none(r.base_peak_intensity);
}
Ref low_mz(const SpectrumRecord& r) { return float_or_none(r.low_mz); }
Ref high_mz(const SpectrumRecord& r) { return float_or_none(r.high_mz); }
Ref ion_injection_time_ms(const SpectrumRecord& r) { return float_or_none(r.ion_injection_time_ms); }
Ref inv_mobility(const SpectrumRecord& r) { return float_or_none(r.inv_mobility); }
Ref faims_cv(const SpectrumRecord& r) { return float_or_none(r.faims_cv); }
Ref precursor(const SpectrumRecord& r) {
  return r.precursor ? precursor_dict(*r.precursor) : Ref::borrow(Py_None);
}
Ref mz(const SpectrumRecord& r) { return float_list(r.mz); }
Ref intensity(const SpectrumRecord& r) { return float_list(r.intensity); }
Ref inv_mobility_per_peak(const SpectrumRecord& r) {
  return r.inv_mobility_per_peak ? float_list(*r.inv_mobility_per_peak) : Ref::borrow(Py_None);
}
Ref extra(const SpectrumRecord& r) { return extra_dict(r.extra); }

#define KARVEL_PROPERTY(name) {#name, getter<record_of, name>, nullptr, nullptr, nullptr}

PyGetSetDef spectrum_getset[] = {
    KARVEL_PROPERTY(index),
    KARVEL_PROPERTY(scan_number),
    KARVEL_PROPERTY(native_id),
    KARVEL_PROPERTY(ms_level),
    KARVEL_PROPERTY(polarity),
    KARVEL_PROPERTY(scan_mode),
    KARVEL_PROPERTY(analyzer),
    KARVEL_PROPERTY(acquisition_event_id),
    KARVEL_PROPERTY(filter),
    KARVEL_PROPERTY(retention_time_sec),
    KARVEL_PROPERTY(total_ion_current),
    KARVEL_PROPERTY(reported_total_ion_current),
    KARVEL_PROPERTY(base_peak_mz),
    KARVEL_PROPERTY(reported_base_peak_mz),
    KARVEL_PROPERTY(base_peak_intensity),
    KARVEL_PROPERTY(reported_base_peak_intensity),
    KARVEL_PROPERTY(low_mz),
    KARVEL_PROPERTY(high_mz),
    KARVEL_PROPERTY(ion_injection_time_ms),
    KARVEL_PROPERTY(inv_mobility),
    KARVEL_PROPERTY(faims_cv),
    KARVEL_PROPERTY(precursor),
    KARVEL_PROPERTY(mz),
    KARVEL_PROPERTY(intensity),
    KARVEL_PROPERTY(inv_mobility_per_peak),
    KARVEL_PROPERTY(extra),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef KARVEL_PROPERTY

Py_ssize_t spectrum_length(PyObject* self) noexcept {
  return with_record<Py_ssize_t>(self, -1, [](const SpectrumRecord& record) {
    return static_cast<Py_ssize_t>(record.mz.size());
  });
}

// Seconds with exactly two decimals; NaN and the infinities as "NaN",
// "inf" and "-inf".
std::string two_decimals(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[400];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
  if (error != std::errc()) return "?";
  return std::string(buffer, end);
}

PyObject* spectrum_repr(PyObject* self) noexcept {
  return with_record<PyObject*>(self, nullptr, [](const SpectrumRecord& record) -> PyObject* {
    std::string text = "Spectrum(" + std::to_string(record.mz.size()) + " peaks, RT " +
                       two_decimals(record.retention_time_sec) + "s)";
    return to_str(text).release();
  });
}

PyType_Slot spectrum_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A complete vendor-neutral spectrum record. Peak arrays remain Python lists\n"
                    "for compatibility with the original native binding.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<SpectrumObject, destroy_spectrum>)},
    {Py_tp_repr, reinterpret_cast<void*>(spectrum_repr)},
    {Py_tp_getset, spectrum_getset},
    {Py_sq_length, reinterpret_cast<void*>(spectrum_length)},
    {0, nullptr},
};

PyType_Spec spectrum_type_spec = {
    "karvel.Spectrum",
    sizeof(SpectrumObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_slots,
};

}  // namespace

PyType_Spec* spectrum_spec() { return &spectrum_type_spec; }

Ref new_spectrum(PyTypeObject* type, std::unique_ptr<const SpectrumRecord> record) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return Ref();
  new (&object_of(self)->record) std::unique_ptr<const SpectrumRecord>(std::move(record));
  return Ref(self);
}

}  // namespace karvel::python
