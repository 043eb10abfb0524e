// What a summary of a run needs beyond its scan table, all resolved when
// the run was opened (no spectrum is decoded):
//
//   _native.run_analyzer(handle) -> str        the mass analyzer, from the device
//                                         and the scan table layout ("tofms", ...)
//   _native.calibration_sources(handle) -> list[str | None]
//       each scan's calibration: "mass_cal_record", "default_mass_cal" or None
//   _native.integrity_events(handle) -> list[(kind, count, first)]
//       the problems the reader met and worked around so far (see
//       reader/integrity.hpp), in kind order
//   _native.integrity_kinds(handle) -> int    bit k set when kind k was met

#include <Python.h>

#include "boundary.hpp"
#include "extension.hpp"
#include "module_util.hpp"
#include "ref.hpp"
#include "run_object.hpp"

namespace karvel::python::morvane {
namespace {

PyObject* run_analyzer(PyObject*, PyObject* run) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto reader = reader_of(run);
    if (!reader) return nullptr;
    const std::string_view name = morvane_core::enums::text(reader->analyzer());
    return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  });
}

PyObject* calibration_sources(PyObject*, PyObject* run) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto reader = reader_of(run);
    if (!reader) return nullptr;
    const auto& calibrations = reader->calibrations();
    const std::size_t count = reader->scan().records.size();
    Ref list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      PyObject* item = nullptr;
      if (i < calibrations.size() && calibrations[i]) {
        item = PyUnicode_FromString(calibrations[i]->from_default ? "default_mass_cal" : "mass_cal_record");
        if (item == nullptr) return nullptr;
      } else {
        item = Py_NewRef(Py_None);
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* integrity_events(PyObject*, PyObject* run) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto reader = reader_of(run);
    if (!reader) return nullptr;
    const auto events = reader->integrity_events();
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& event : events) {
      const std::string_view name = reader::integrity_kind_name(event.kind);
      Ref item(Py_BuildValue("(s#Ks#)", name.data(), static_cast<Py_ssize_t>(name.size()),
                             static_cast<unsigned long long>(event.count), event.first.data(),
                             static_cast<Py_ssize_t>(event.first.size())));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* integrity_kinds(PyObject*, PyObject* run) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto reader = reader_of(run);
    if (!reader) return nullptr;
    return PyLong_FromUnsignedLong(reader->integrity_kinds());
  });
}

PyMethodDef functions[] = {
    {"run_analyzer", run_analyzer, METH_O,
     "run_analyzer(handle, /)\n--\n\nThe mass analyzer of the run (\"tofms\", \"tqms\", ...)."},
    {"calibration_sources", calibration_sources, METH_O,
     "calibration_sources(handle, /)\n--\n\nEach scan's calibration source, or None."},
    {"integrity_events", integrity_events, METH_O,
     "integrity_events(handle, /)\n--\n\nThe problems met so far as (kind, count, first occurrence)."},
    {"integrity_kinds", integrity_kinds, METH_O,
     "integrity_kinds(handle, /)\n--\n\nBit k set when integrity event kind k was met."},
    {nullptr, nullptr, 0, nullptr},
};

int add_run_summary(PyObject* module) {
  for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
    Ref function(PyCFunction_NewEx(def, nullptr, nullptr));
    if (!function || add_public(module, def->ml_name, function.get()) < 0) return -1;
  }
  return 0;
}

const Extension run_summary_extension(add_run_summary);

}  // namespace
}  // namespace karvel::python::morvane
