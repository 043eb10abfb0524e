// Ref: a move-only owning reference to a Python object. Whatever a function
// builds is held in Refs, so every early return releases it.
#pragma once

#include <Python.h>

#include <utility>

namespace karvel::python {

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new (owned) reference; nullptr stays empty.
  explicit Ref(PyObject* owned) noexcept : object_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  // A new reference to a borrowed object.
  static Ref borrow(PyObject* borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Gives up ownership, e.g. to return the object to the interpreter.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace karvel::python
