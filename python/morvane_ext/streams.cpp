#include "streams.hpp"

#include <atomic>
#include <new>
#include <utility>

#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "heap_object.hpp"
#include "pool.hpp"
#include "spectrum.hpp"

namespace karvel::python::morvane {
namespace {

struct SpectrumStreamObject {
  PyObject_HEAD
  std::unique_ptr<DecodePool> pool;
  bool skip_errors;
  Py_ssize_t selected;  // spectra asked for; with skip_errors fewer may come
  std::atomic<bool> finished;
  PyObject* skipped;  // the list of (index, message) skipped so far
  PyObject* on_end;   // called once, without arguments, when the stream ends; or nullptr
};

SpectrumStreamObject* stream_of(PyObject* self) { return reinterpret_cast<SpectrumStreamObject*>(self); }

void destroy_spectrum_stream(SpectrumStreamObject& stream) noexcept {
  // Dropping the iterator stops its workers after the spectrum in hand and
  // waits for them.
  stream.pool.~unique_ptr();
  stream.finished.~atomic();
  Py_CLEAR(stream.skipped);
  Py_CLEAR(stream.on_end);
}

// Marks the stream finished and calls its on_end once. False with a Python
// error set when on_end raised.
bool end_stream(SpectrumStreamObject* stream) noexcept {
  stream->finished.store(true);
  PyObject* on_end = std::exchange(stream->on_end, nullptr);
  if (on_end == nullptr) return true;
  Ref callback(on_end);
  Ref result(PyObject_CallNoArgs(callback.get()));
  return static_cast<bool>(result);
}

PyObject* spectrum_stream_iter(PyObject* self) noexcept { return Py_NewRef(self); }

Py_ssize_t spectrum_stream_len(PyObject* self) noexcept { return stream_of(self)->selected; }

PyObject* spectrum_stream_next(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SpectrumStreamObject* stream = stream_of(self);
    ModuleState* state = state_of_type<ModuleState>(Py_TYPE(self));
    Ref keep = Ref::borrow(self);
    for (;;) {
      if (stream->finished.load()) return nullptr;
      std::optional<PoolItem> item;
      if (stream->pool->ready()) {
        item = stream->pool->next();  // does not wait: keep the lock
      } else {
        GilRelease unlocked;
        item = stream->pool->next();
      }
      if (!item) {
        end_stream(stream);
        return nullptr;
      }
      if (item->result) {
        return new_spectrum(state, std::move(*item->result), stream->pool->buffers()).release();
      }
      if (!stream->skip_errors) {
        stream->pool->stop();
        if (!end_stream(stream)) PyErr_Clear();  // the decoding error is the one to raise
        return reader_error(state, item->result.error());
      }
      const std::string text = reason_text(item->result.error());
      Ref entry(Py_BuildValue("(Is#)", static_cast<unsigned>(item->index), text.data(),
                              static_cast<Py_ssize_t>(text.size())));
      if (!append(stream->skipped, std::move(entry))) return nullptr;
    }
  });
}

PyObject* spectrum_stream_close(PyObject* self, PyObject*) noexcept {
  SpectrumStreamObject* stream = stream_of(self);
  stream->finished.store(true);
  stream->pool->stop();
  Py_RETURN_NONE;
}

PyObject* spectrum_stream_skipped(PyObject* self, void*) noexcept {
  return Py_NewRef(stream_of(self)->skipped);
}

PyObject* spectrum_stream_on_end(PyObject* self, void*) noexcept {
  PyObject* on_end = stream_of(self)->on_end;
  return Py_NewRef(on_end == nullptr ? Py_None : on_end);
}

int spectrum_stream_set_on_end(PyObject* self, PyObject* value, void*) noexcept {
  SpectrumStreamObject* stream = stream_of(self);
  if (value != nullptr && value != Py_None && !PyCallable_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "on_end must be callable or None");
    return -1;
  }
  PyObject* previous = stream->on_end;
  stream->on_end = (value == nullptr || value == Py_None) ? nullptr : Py_NewRef(value);
  Py_XDECREF(previous);
  return 0;
}

PyGetSetDef spectrum_stream_getset[] = {
    {"skipped", spectrum_stream_skipped, nullptr,
     "(index, message) of the spectra left out so far (errors skipped).", nullptr},
    {"on_end", spectrum_stream_on_end, spectrum_stream_set_on_end,
     "Called once, without arguments, when the iteration ends (or fails); None for nothing.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef spectrum_stream_methods[] = {
    {"close", spectrum_stream_close, METH_NOARGS,
     "close($self)\n--\n\nStops the workers; the iteration ends."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot spectrum_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("Spectra decoded ahead on worker threads, in index order.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<SpectrumStreamObject, destroy_spectrum_stream>)},
    {Py_tp_iter, reinterpret_cast<void*>(spectrum_stream_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(spectrum_stream_next)},
    {Py_tp_methods, spectrum_stream_methods},
    {Py_tp_getset, spectrum_stream_getset},
    {Py_sq_length, reinterpret_cast<void*>(spectrum_stream_len)},
    {0, nullptr},
};

PyType_Spec spectrum_stream_type_spec = {
    "morvane._native.SpectrumStream",
    sizeof(SpectrumStreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_stream_slots,
};

struct PeakStreamData {
  std::shared_ptr<const reader::Reader> reader;
  std::vector<std::uint32_t> indices;
  PeakOptions options;
  std::shared_ptr<FailureSlot> failure = std::make_shared<FailureSlot>();
};

struct PeakStreamObject {
  PyObject_HEAD
  PeakStreamData data;
};

PeakStreamObject* peaks_of(PyObject* self) { return reinterpret_cast<PeakStreamObject*>(self); }

void destroy_peak_stream(PeakStreamObject& object) noexcept { object.data.~PeakStreamData(); }

PyObject* peak_stream_arrow(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return arrow_stream_method(args, kwargs, [&] {
    const PeakStreamData& data = peaks_of(self)->data;
    return peak_source(data.reader, data.indices, data.options);
  }, peaks_of(self)->data.failure);
}

// The exception of the error that ended one of the object's streams, the
// latest; None when none failed.
PyObject* peak_stream_failure(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::optional<Error> error = peaks_of(self)->data.failure->get();
    if (!error) Py_RETURN_NONE;
    reader_error(state_of_type<ModuleState>(Py_TYPE(self)), *error);
    return PyErr_GetRaisedException();
  });
}

// (index, message) of the spectra the latest stream of the object left out.
PyObject* peak_stream_skipped(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& log = peaks_of(self)->data.options.skipped;
    Ref list(PyList_New(0));
    if (!list || !log) return list.release();
    for (const auto& [index, error] : log->get()) {
      const std::string text = reason_text(error);
      Ref entry(Py_BuildValue("(Is#)", static_cast<unsigned>(index), text.data(),
                              static_cast<Py_ssize_t>(text.size())));
      if (!append(list.get(), std::move(entry))) return nullptr;
    }
    return list.release();
  });
}

PyMethodDef peak_stream_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(peak_stream_arrow)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nA fresh Arrow C stream of the peak table."},
    {"skipped", peak_stream_skipped, METH_NOARGS,
     "skipped($self)\n--\n\n(index, message) of the spectra the latest stream left out (errors skipped)."},
    {"failure", peak_stream_failure, METH_NOARGS,
     "failure($self)\n--\n\nThe exception of the error that ended a stream of this object (the latest), "
     "as morvane raises it; None when none failed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot peak_stream_slots[] = {
    {Py_tp_doc, const_cast<char*>("The long peak table of a run, read through the Arrow C stream interface.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<PeakStreamObject, destroy_peak_stream>)},
    {Py_tp_methods, peak_stream_methods},
    {0, nullptr},
};

PyType_Spec peak_stream_type_spec = {
    "morvane._native.PeakStream",
    sizeof(PeakStreamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    peak_stream_slots,
};

}  // namespace

PyType_Spec* spectrum_stream_spec() { return &spectrum_stream_type_spec; }
PyType_Spec* peak_stream_spec() { return &peak_stream_type_spec; }

Ref new_spectrum_stream(ModuleState* state, std::shared_ptr<const reader::Reader> reader,
                        std::vector<std::uint32_t> indices, reader::BlockChoice choice, bool skip_errors,
                        unsigned threads, const reader::CentroidOptions& centroid) {
  const auto selected = static_cast<Py_ssize_t>(indices.size());
  Ref skipped(PyList_New(0));
  if (!skipped) return Ref();
  auto pool = DecodePool::start(std::move(reader), std::move(indices), choice, threads, centroid);
  if (!pool) {
    reader_error(state, pool.error());
    return Ref();
  }
  PyTypeObject* type = state->spectrum_stream;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return Ref();
  SpectrumStreamObject* stream = stream_of(self.get());
  new (&stream->pool) std::unique_ptr<DecodePool>(std::move(*pool));
  stream->skip_errors = skip_errors;
  stream->selected = selected;
  new (&stream->finished) std::atomic<bool>(false);
  stream->skipped = skipped.release();
  stream->on_end = nullptr;
  return self;
}

Ref new_peak_stream(ModuleState* state, std::shared_ptr<const reader::Reader> reader,
                    std::vector<std::uint32_t> indices, PeakOptions options) {
  PyTypeObject* type = state->peak_stream;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return Ref();
  new (&peaks_of(self.get())->data) PeakStreamData{std::move(reader), std::move(indices), options};
  return self;
}

}  // namespace karvel::python::morvane
