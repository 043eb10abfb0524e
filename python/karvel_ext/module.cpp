// The module karvel: initialisation and registration of its public names.

#include <Python.h>

#include "boundary.hpp"
#include "module_util.hpp"
#include "objects.hpp"
#include "ref.hpp"
#include "heap_object.hpp"
#include "state.hpp"

namespace karvel::python {
namespace {

int module_exec(PyObject* module) noexcept {
  return guarded<int>(-1, [&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'module'",
                   Py_TYPE(module)->tp_name);
      return -1;
    }
    ModuleState* state = state_of_module<ModuleState>(module);
    if (add_type(module, raw_reader_spec(), &state->raw_reader) < 0 ||
        add_type(module, spectrum_spec(), &state->spectrum) < 0 ||
        add_type(module, spectrum_iter_spec(), &state->spectrum_iter) < 0) {
      return -1;
    }
    Ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    Ref function(PyCMethod_New(iter_spectra_def(), module, module_name.get(), nullptr));
    if (!function) return -1;
    return add_public(module, "iter_spectra", function.get());
  });
}

using References = StateReferences<ModuleState>;

// Every object guards its own state with an access count, the reader is
// read-only while shared, and the worker never touches Python objects: the
// module is safe to run without the interpreter lock.
PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "karvel",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    References::traverse,
    References::clear,
    References::free,
};

#ifdef PyMODEXPORT_FUNC
// Hosts that look for the export hook get the module as one static slot
// array; it describes the same module as module_def, whose address also
// serves as the module's token.
PyABIInfo_VAR(abi_info);

PySlot export_slots[] = {
    PySlot_PTR(Py_mod_abi, &abi_info),
    PySlot_PTR(Py_mod_name, "karvel"),
    PySlot_PTR(Py_mod_token, &module_def),
    PySlot_PTR(Py_mod_state_size, sizeof(ModuleState)),
    PySlot_PTR(Py_mod_state_traverse, References::traverse),
    PySlot_PTR(Py_mod_state_clear, References::clear),
    PySlot_PTR(Py_mod_state_free, References::free),
    PySlot_PTR(Py_mod_exec, module_exec),
    PySlot_PTR(Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED),
    PySlot_PTR(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    PySlot_END,
};
#endif

}  // namespace
}  // namespace karvel::python

PyMODINIT_FUNC PyInit_karvel(void) { return PyModuleDef_Init(&karvel::python::module_def); }

#ifdef PyMODEXPORT_FUNC
PyMODEXPORT_FUNC PyModExport_karvel(void) { return karvel::python::export_slots; }
#endif
