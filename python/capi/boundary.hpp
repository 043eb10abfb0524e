// The border between C++ and the interpreter: no C++ exception may cross it,
// and the interpreter lock must be held again before anything unwinds into
// code that touches Python objects.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace karvel::python {

// Runs body and turns any escaping C++ exception into a Python exception:
// std::bad_alloc becomes MemoryError, anything else RuntimeError with its
// text. Returns body's result, or `failure` when an exception escaped.
template <class R, class Body>
R guarded(R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected internal error");
  }
  return failure;
}

// Releases the interpreter lock for one scope and takes it back on every
// exit, including unwinding. No Python object may be touched meanwhile.
class GilRelease {
 public:
  GilRelease() noexcept : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

// work() run without the interpreter lock, its result returned once the
// lock is held again. work may touch no Python object.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  GilRelease unlocked;
  return work();
}

}  // namespace karvel::python
