#include "module_util.hpp"

#include "ref.hpp"

namespace karvel::python {

int add_public(PyObject* module, const char* name, PyObject* value) {
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &found) < 0) return -1;
  Ref all(found);
  if (!all) {
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get())) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'list'",
                 Py_TYPE(all.get())->tp_name);
    return -1;
  }
  Ref text(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, value);
}

int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject** slot) {
  PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
  if (type == nullptr) return -1;
  *slot = reinterpret_cast<PyTypeObject*>(type);  // owned by the module state
  const char* dot = spec->name;
  for (const char* c = spec->name; *c; ++c) {
    if (*c == '.') dot = c + 1;
  }
  return add_public(module, dot, type);
}

}  // namespace karvel::python
