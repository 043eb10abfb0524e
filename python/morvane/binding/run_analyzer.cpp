// _core.run_analyzer(run) -> str: the mass analyzer the reader resolved for
// the run when it opened it (from the device and the scan table layout), as
// the term's short name ("tofms", "tqms", ...); no spectrum is decoded.

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

PyMethodDef run_analyzer_def = {
    "run_analyzer", run_analyzer, METH_O,
    "run_analyzer(run, /)\n--\n\nThe mass analyzer of the run (\"tofms\", \"tqms\", ...)."};

int add_run_analyzer(PyObject* module) {
  Ref function(PyCFunction_NewEx(&run_analyzer_def, nullptr, nullptr));
  if (!function) return -1;
  return add_public(module, "run_analyzer", function.get());
}

const Extension run_analyzer_extension(add_run_analyzer);

}  // namespace
}  // namespace karvel::python::morvane
