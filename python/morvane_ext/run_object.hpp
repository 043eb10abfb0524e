// The opened run behind morvane.Run: a _native.RunHandle holds the reader as
// a shared pointer, so spectra streams and other binding files can keep it
// alive on their own while the handle is closed or released.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <string>

#include "reader/reader.hpp"

namespace karvel::python::morvane {

struct RunObject {
  PyObject_HEAD
  // Empty once closed.
  std::atomic<std::shared_ptr<const reader::Reader>> reader;
  std::string path;  // the file-system bytes of the path
};

PyType_Spec* run_spec();

// The reader of a _native.RunHandle. Sets an exception and returns nullptr
// when object is not one (TypeError) or when the run is closed (ValueError
// "the run is closed").
std::shared_ptr<const reader::Reader> reader_of(PyObject* object);

}  // namespace karvel::python::morvane
