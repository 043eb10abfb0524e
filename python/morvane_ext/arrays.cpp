#include "arrays.hpp"

#include <limits>
#include <new>

#include "boundary.hpp"
#include "heap_object.hpp"

namespace karvel::python::morvane {
namespace {

struct DtypeInfo {
  const char* numpy_name;
  const char* format;  // buffer-protocol format
  Py_ssize_t itemsize;
};

constexpr DtypeInfo kDtypes[] = {
    {"float64", "d", 8}, {"float32", "f", 4}, {"uint32", "I", 4},
    {"uint8", "B", 1},   {"int8", "b", 1},    {"int64", "q", 8},
};
static_assert(std::size(kDtypes) == static_cast<std::size_t>(Dtype::Count));

struct BufferObject {
  PyObject_HEAD
  std::shared_ptr<const void> owner;
  const void* data;
  Py_ssize_t length;  // elements
  Py_ssize_t itemsize;
  const char* format;
};

BufferObject* object_of(PyObject* self) { return reinterpret_cast<BufferObject*>(self); }

void destroy_buffer(BufferObject& object) noexcept { object.owner.~shared_ptr(); }

int buffer_get(PyObject* self, Py_buffer* view, int flags) noexcept {
  BufferObject* buffer = object_of(self);
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "the array is read-only");
    view->obj = nullptr;
    return -1;
  }
  static const char empty = 0;
  view->buf = const_cast<void*>(buffer->data != nullptr ? buffer->data : &empty);
  view->obj = Py_NewRef(self);
  view->len = buffer->length * buffer->itemsize;
  view->readonly = 1;
  view->itemsize = buffer->itemsize;
  view->format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT ? const_cast<char*>(buffer->format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &buffer->length : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &buffer->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot buffer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Read-only memory of a decoded array, owned by C++.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<BufferObject, destroy_buffer>)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {0, nullptr},
};

PyType_Spec buffer_type_spec = {
    "morvane._native.Buffer",
    sizeof(BufferObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    buffer_slots,
};

}  // namespace

PyType_Spec* buffer_spec() { return &buffer_type_spec; }

Ref new_array(ModuleState* state, std::shared_ptr<const void> owner, const void* data,
              std::size_t count, Dtype dtype) {
  const DtypeInfo& info = kDtypes[static_cast<int>(dtype)];
  if (count > static_cast<std::size_t>(std::numeric_limits<Py_ssize_t>::max() / info.itemsize)) {
    PyErr_NoMemory();
    return Ref();
  }
  PyTypeObject* type = state->buffer;
  Ref buffer(type->tp_alloc(type, 0));
  if (!buffer) return Ref();
  BufferObject* object = object_of(buffer.get());
  new (&object->owner) std::shared_ptr<const void>(std::move(owner));
  object->data = data;
  object->length = static_cast<Py_ssize_t>(count);
  object->itemsize = info.itemsize;
  object->format = info.format;
  return Ref(PyObject_CallFunctionObjArgs(state->frombuffer, buffer.get(),
                                          state->dtypes[static_cast<int>(dtype)], nullptr));
}

int load_numpy(ModuleState* state) {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return -1;
  state->frombuffer = PyObject_GetAttrString(numpy.get(), "frombuffer");
  if (state->frombuffer == nullptr) return -1;
  Ref dtype(PyObject_GetAttrString(numpy.get(), "dtype"));
  if (!dtype) return -1;
  for (std::size_t i = 0; i < std::size(kDtypes); ++i) {
    state->dtypes[i] = PyObject_CallFunction(dtype.get(), "s", kDtypes[i].numpy_name);
    if (state->dtypes[i] == nullptr) return -1;
  }
  return 0;
}

}  // namespace karvel::python::morvane
