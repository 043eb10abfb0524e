// The module morvane._native: the C++ part of the morvane package.

#include <Python.h>

#include "arrays.hpp"
#include "boundary.hpp"
#include "extension.hpp"
#include "module_util.hpp"
#include "ref.hpp"
#include "run_object.hpp"
#include "scan_columns.hpp"
#include "spectrum.hpp"
#include "heap_object.hpp"
#include "state.hpp"
#include "streams.hpp"

namespace karvel::python::morvane {
namespace {

// The registered extensions, most recent first. Constant-initialised, so
// it is null before any Extension constructor runs; registration happens
// during static initialisation of this image, reading only afterwards.
const Extension* extensions = nullptr;

int module_exec(PyObject* module) noexcept {
  return guarded<int>(-1, [&]() -> int {
    ModuleState* state = state_of_module<ModuleState>(module);
    if (load_numpy(state) < 0) return -1;
    state->format_error = PyErr_NewExceptionWithDoc(
        "morvane.FormatError", "Data of the run that cannot be decoded.", PyExc_ValueError, nullptr);
    if (state->format_error == nullptr ||
        add_public(module, "FormatError", state->format_error) < 0 ||
        add_type(module, buffer_spec(), &state->buffer) < 0 ||
        add_type(module, spectrum_spec(), &state->spectrum) < 0 ||
        add_type(module, run_spec(), &state->run) < 0 ||
        add_type(module, scan_columns_spec(), &state->scan_columns) < 0 ||
        add_type(module, spectrum_stream_spec(), &state->spectrum_stream) < 0 ||
        add_type(module, peak_stream_spec(), &state->peak_stream) < 0) {
      return -1;
    }
    return run_extensions(module);
  });
}

using References = StateReferences<ModuleState>;

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef native_module_def = {
    PyModuleDef_HEAD_INIT,
    "morvane._native",
    "The C++ part of morvane: opened runs, spectra with numpy arrays, Arrow streams.",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    References::traverse,
    References::clear,
    References::free,
};

}  // namespace

PyModuleDef* module_def() { return &native_module_def; }

Extension::Extension(ExtensionInit init) noexcept : init_(init), next_(extensions) { extensions = this; }

int run_extensions(PyObject* module) {
  for (const Extension* extension = extensions; extension != nullptr; extension = extension->next_) {
    if (extension->init_(module) < 0) return -1;
  }
  return 0;
}

}  // namespace karvel::python::morvane

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(karvel::python::morvane::module_def()); }
