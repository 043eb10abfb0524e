// Placeholder extension module: an empty `karvel` module with multi-phase
// initialisation, so that the build and install plumbing can be exercised
// before the real binding lands. It is replaced by the binding sources.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyModuleDef_Slot module_slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "karvel",
    "Reader of MassHunter raw data folders.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_karvel() { return PyModuleDef_Init(&module_def); }
