// SpectrumIter and iter_spectra(path): spectra streamed from a worker thread.

#include <Python.h>
#include <unistd.h>

#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "access.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "heap_object.hpp"
#include "objects.hpp"
#include "path.hpp"
#include "path_argument.hpp"
#include "ref.hpp"
#include "state.hpp"
#include "stream.hpp"

namespace karvel::python {
namespace {

// The receiving end. Receives are serialised by the iterator's exclusive
// access, so the receiver needs no lock of its own.
class StreamReceiver {
 public:
  explicit StreamReceiver(Receiver<StreamMsg> receiver) noexcept : receiver_(std::move(receiver)) {}

  // Waits for the next message; a channel closed without an end message
  // comes back as a Failure. Called without the interpreter lock.
  StreamMsg receive() {
    auto message = receiver_.recv();
    if (!message) return StreamMsg::failure(Error::internal("receiving on a closed channel"));
    return std::move(*message);
  }

 private:
  Receiver<StreamMsg> receiver_;
};

struct SpectrumIterObject {
  PyObject_HEAD
  // The worker thread is detached at once; the object keeps no handle that
  // could be joined, so releasing it never waits.
  StreamReceiver receiver;
  bool finished;
  AccessCount access;
  // The process that started the worker. A child made by fork() inherits
  // the object but not the thread.
  pid_t creator;
};

SpectrumIterObject* object_of(PyObject* self) { return reinterpret_cast<SpectrumIterObject*>(self); }

bool in_creating_process(const SpectrumIterObject* it) noexcept { return ::getpid() == it->creator; }

void destroy_spectrum_iter(SpectrumIterObject& object) noexcept {
  object.access.~AccessCount();
  // Closing the receiving end wakes a worker waiting in send and discards a
  // message still in the channel. In a forked child the channel's lock may
  // have been held by the parent's worker at the fork and would never be
  // released: the child leaves the receiver alone.
  if (in_creating_process(&object)) object.receiver.~StreamReceiver();
}

PyObject* spectrum_iter_iter(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(object_of(self)->access);
    if (!access) return nullptr;
    return Py_NewRef(self);
  });
}

PyObject* spectrum_iter_next(PyObject* self) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref hold = Ref::borrow(self);
    SpectrumIterObject* it = object_of(self);
    ExclusiveAccess access(it->access);
    if (!access) return nullptr;
    if (it->finished) return nullptr;  // no exception set: StopIteration
    if (!in_creating_process(it)) {
      return runtime_error(
          "SpectrumIter cannot be used in a process forked after iter_spectra: its worker "
          "thread exists only in the process that created it; call iter_spectra again");
    }
    StreamMsg message;
    {
      GilRelease release;
      message = it->receiver.receive();
    }
    switch (message.kind) {
      case StreamMsg::Kind::Spectrum:
        return new_spectrum(state_of_type<ModuleState>(Py_TYPE(self))->spectrum, std::move(message.record))
            .release();
      case StreamMsg::Kind::End:
        it->finished = true;
        return nullptr;
      case StreamMsg::Kind::Failure:
        it->finished = true;
        if (message.reader_error) return reader_err(*message.reader_error);
        return core_err(*message.record_error);
    }
    return nullptr;
  });
}

PyType_Slot spectrum_iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<SpectrumIterObject, destroy_spectrum_iter>)},
    {Py_tp_iter, reinterpret_cast<void*>(spectrum_iter_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(spectrum_iter_next)},
    {0, nullptr},
};

PyType_Spec spectrum_iter_type_spec = {
    "karvel.SpectrumIter",
    sizeof(SpectrumIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    spectrum_iter_slots,
};

// Starts the worker on path; the returned iterator owns the receiving end.
PyObject* start_stream(PyTypeObject* type, std::string path) {
  auto [sender, receiver] = make_channel<StreamMsg>();
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  Ref iterator(self);
  new (&object_of(self)->receiver) StreamReceiver(std::move(receiver));
  object_of(self)->finished = false;
  new (&object_of(self)->access) AccessCount();
  object_of(self)->creator = ::getpid();
  try {
    std::thread worker(run_stream_worker, std::move(path), std::move(sender));
    worker.detach();
  } catch (const std::system_error& error) {
    return runtime_error(std::string("failed to spawn thread: ") + error.what());
  }
  return iterator.release();
}

PyObject* iter_spectra(PyObject* module, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:iter_spectra", const_cast<char**>(keywords),
                                     &path_arg)) {
      return nullptr;
    }
    auto path = path_argument("iter_spectra", path_arg);
    if (!path) return nullptr;
    return start_stream(state_of_module<ModuleState>(module)->spectrum_iter, std::move(*path));
  });
}

PyMethodDef iter_spectra_method = {
    "iter_spectra",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(iter_spectra)),
    METH_VARARGS | METH_KEYWORDS,
    "iter_spectra(path)\n--\n\nDecode spectra one at a time without buffering the whole acquisition.",
};

}  // namespace

PyType_Spec* spectrum_iter_spec() { return &spectrum_iter_type_spec; }

PyMethodDef* iter_spectra_def() { return &iter_spectra_method; }

}  // namespace karvel::python
