// _native.MzmlWriter: the C++ indexed mzML writer over a morvane run, driven
// from Python in steps so that a progress bar can follow:
//
//   writer = _native.MzmlWriter(handle, path, positions, choice, zlib, intensity_bits, threads,
//                             skipped=[(native_id, reason), ...], numpress_mz, numpress_intensity,
//                             numpress_mz_ppm, min_level, max_level, snr, source=None,
//                             keep_spikes=False, skip=False)
//   numpress_mz, numpress_intensity: codec codes (morvane._args.NUMPRESS)
//   source: the directory to name as the scan table's location (a run
//   unpacked from an archive names its place in the archive)
//   skip: a spectrum that fails to decode is left out (writer.skipped lists
//   them) instead of failing the writer
//   while writer.write_next(64): ...
//   writer.finish()
//
// With threads above one, worker threads decode and compress the next few
// spectra while a step writes; the file is the same for every count.
// Every step runs without the interpreter lock; one call at a time per
// writer (another thread gets RuntimeError "the mzML writer is in use by
// another thread").

#include <Python.h>

#include <memory>
#include <new>
#include <optional>

#include "access.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "centroid/peak_picker.hpp"
#include "export/mzml_writer.hpp"
#include "extension.hpp"
#include "heap_object.hpp"
#include "indices.hpp"
#include "options.hpp"
#include "module_util.hpp"
#include "path.hpp"
#include "ref.hpp"
#include "run_object.hpp"
#include "state.hpp"

namespace karvel::python::morvane {
namespace {

using exporter::MzmlWriter;

struct MzmlWriterObject {
  PyObject_HEAD
  AccessCount access;
  std::unique_ptr<MzmlWriter> writer;
};

MzmlWriterObject* object_of(PyObject* self) { return reinterpret_cast<MzmlWriterObject*>(self); }

// skipped: a sequence of (native id, reason) string pairs, or None.
std::optional<std::vector<exporter::SkippedSpectrum>> skipped_argument(PyObject* arg) {
  std::vector<exporter::SkippedSpectrum> skipped;
  if (arg == nullptr || arg == Py_None) return skipped;
  Ref items(PySequence_Fast(arg, "skipped must be a sequence of (native id, reason) pairs"));
  if (!items) return std::nullopt;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  skipped.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    const char* native_id = nullptr;
    const char* reason = nullptr;
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "ss:skipped", &native_id, &reason)) {
      if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_TypeError, "skipped must be a sequence of (native id, reason) pairs");
      }
      return std::nullopt;
    }
    skipped.push_back({native_id, reason});
  }
  return skipped;
}

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"run", "path", "positions", "choice", "zlib", "intensity_bits",
                                     "threads", "skipped", "numpress_mz", "numpress_intensity",
                                     "numpress_mz_ppm", "min_level", "max_level", "snr", "source",
                                     "keep_spikes", "skip", nullptr};
    PyObject *run = nullptr, *path_arg = nullptr, *positions_arg = nullptr, *skipped_arg = nullptr;
    int choice = 0, zlib = 1, bits = 32;
    unsigned min_level = 0, max_level = UINT32_MAX;
    int keep_spikes = 0, skip = 0;
    double snr = centroid::kDefaultSnr;
    unsigned threads = 1;
    int numpress_mz = 0, numpress_intensity = 0;
    double mz_ppm = exporter::kDefaultNumpressMzPpm;
    const char* source = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|ipiIOiidIIdzpp:MzmlWriter", const_cast<char**>(keywords),
                                     &run, &path_arg, &positions_arg, &choice, &zlib, &bits, &threads,
                                     &skipped_arg, &numpress_mz, &numpress_intensity, &mz_ppm, &min_level,
                                     &max_level, &snr, &source, &keep_spikes, &skip) ||
        !check_threads(threads)) {
      return nullptr;
    }
    auto reader = reader_of(run);
    if (!reader) return nullptr;
    auto path = path_like_argument("MzmlWriter", "path", path_arg);
    if (!path) return nullptr;
    auto positions = index_argument(positions_arg, reader->scan().records.size());
    if (!positions) return nullptr;
    auto encoding = encoding_of(bits, numpress_mz, numpress_intensity, mz_ppm);
    if (!encoding) return nullptr;
    auto skipped = skipped_argument(skipped_arg);
    if (!skipped) return nullptr;
    auto picking = picking_of(choice, min_level, max_level, snr, keep_spikes != 0);
    if (!picking) return nullptr;
    exporter::MzmlOptions options{picking->choice, zlib != 0, encoding->intensity_bits, threads};
    options.numpress = encoding->numpress;
    options.centroid = picking->centroid;
    auto created = without_gil([&] {
      return MzmlWriter::create(std::move(reader), std::move(*path),
                                std::vector<std::size_t>(positions->begin(), positions->end()), options,
                                std::move(*skipped), source == nullptr ? std::string() : std::string(source),
                                skip ? &reason_text : nullptr);
    });
    if (!created) return reader_error(state_of_type<ModuleState>(type), created.error());
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    MzmlWriterObject* object = object_of(self.get());
    new (&object->access) AccessCount();
    new (&object->writer) std::unique_ptr<MzmlWriter>(std::move(*created));
    return self.release();
  });
}

void destroy_writer(MzmlWriterObject& object) noexcept {
  // Dropping an unfinished writer removes its temporary file.
  object.writer.~unique_ptr();
  object.access.~AccessCount();
}

// Runs body(writer) without the interpreter lock, with exclusive access.
template <class Body>
PyObject* with_writer(PyObject* self, Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ExclusiveAccess access(object_of(self)->access, "the mzML writer is in use by another thread");
    if (!access) return nullptr;
    MzmlWriter& writer = *object_of(self)->writer;
    return body(writer);
  });
}

PyObject* writer_write_next(PyObject* self, PyObject* arg) noexcept {
  const Py_ssize_t count = PyLong_AsSsize_t(arg);
  if (count == -1 && PyErr_Occurred()) return nullptr;
  if (count < 0) {
    PyErr_SetString(PyExc_ValueError, "count must not be negative");
    return nullptr;
  }
  return with_writer(self, [&](MzmlWriter& writer) -> PyObject* {
    auto wrote = without_gil([&] { return writer.write_next(static_cast<std::size_t>(count)); });
    if (!wrote) return reader_error(state_of_type<ModuleState>(Py_TYPE(self)), wrote.error());
    return PyLong_FromSize_t(*wrote);
  });
}

PyObject* writer_finish(PyObject* self, PyObject*) noexcept {
  return with_writer(self, [&](MzmlWriter& writer) -> PyObject* {
    auto finished = without_gil([&] { return writer.finish(); });
    if (!finished) return reader_error(state_of_type<ModuleState>(Py_TYPE(self)), finished.error());
    Py_RETURN_NONE;
  });
}

// An optional float argument: None or a number.
bool optional_double(PyObject* value, const char* what, std::optional<double>& out) {
  if (value == Py_None) return true;
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Format(PyExc_TypeError, "%s must be a number or None", what);
    return false;
  }
  out = number;
  return true;
}

PyObject* writer_add_reaction(PyObject* self, PyObject* args) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    const char* id = nullptr;
    PyObject *times_arg = nullptr, *intensity_arg = nullptr;
    PyObject *precursor_arg = nullptr, *product_arg = nullptr, *energy_arg = nullptr;
    if (!PyArg_ParseTuple(args, "sOOOOO:add_reaction_chromatogram", &id, &times_arg, &intensity_arg,
                          &precursor_arg, &product_arg, &energy_arg)) {
      return nullptr;
    }
    MzmlWriter::ReactionChromatogram chromatogram;
    chromatogram.id = id;
    auto times = double_argument(times_arg, "times");
    if (!times) return nullptr;
    auto intensity = double_argument(intensity_arg, "intensity");
    if (!intensity) return nullptr;
    if (times->size() != intensity->size()) {
      PyErr_SetString(PyExc_ValueError, "times and intensity differ in length");
      return nullptr;
    }
    chromatogram.time_sec = std::move(*times);
    chromatogram.intensity = std::move(*intensity);
    if (!optional_double(precursor_arg, "precursor_mz", chromatogram.settings.precursor_mz) ||
        !optional_double(product_arg, "product_mz", chromatogram.settings.product_mz) ||
        !optional_double(energy_arg, "collision_energy", chromatogram.settings.collision_energy)) {
      return nullptr;
    }
    ExclusiveAccess access(object_of(self)->access);
    if (!access) return nullptr;
    object_of(self)->writer->add_reaction_chromatogram(std::move(chromatogram));
    Py_RETURN_NONE;
  });
}

PyObject* writer_total(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(object_of(self)->writer->total());
}

PyObject* writer_written(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(object_of(self)->writer->written());
}

PyMethodDef writer_methods[] = {
    {"write_next", writer_write_next, METH_O,
     "write_next($self, count, /)\n--\n\nWrites up to count more spectra; returns how many (0 when done)."},
    {"add_reaction_chromatogram", writer_add_reaction, METH_VARARGS,
     "add_reaction_chromatogram($self, id, times, intensity, precursor_mz, product_mz, collision_energy, /)"
     "\n--\n\nA selected reaction monitoring chromatogram written after the TIC and BPC."},
    {"finish", writer_finish, METH_NOARGS,
     "finish($self, /)\n--\n\nWrites the rest, the chromatograms and the index; moves the file into place."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* writer_skipped(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [index, error] : object_of(self)->writer->left_out()) {
      const std::string text = reason_text(error);
      Ref entry(Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(index), text.data(),
                              static_cast<Py_ssize_t>(text.size())));
      if (!append(list.get(), std::move(entry))) return nullptr;
    }
    return list.release();
  });
}

PyGetSetDef writer_getset[] = {
    {"skipped", writer_skipped, nullptr,
     "(index, message) of the spectra left out so far (skip=True): they fail to decode.", nullptr},
    {"total", writer_total, nullptr, "Spectra the file will hold.", nullptr},
    {"written", writer_written, nullptr, "Spectra written so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>("MzmlWriter(run, path, positions, choice=0, zlib=True, "
                                  "intensity_bits=32, threads=1, skipped=None, numpress_mz=0, "
                                  "numpress_intensity=0, numpress_mz_ppm=0.1, min_level=0, "
                                  "max_level=4294967295, snr=3.0, source=None, keep_spikes=False, skip=False)\n--\n\n"
                                  "Writes one run as indexed mzML.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<MzmlWriterObject, destroy_writer>)},
    {Py_tp_methods, writer_methods},
    {Py_tp_getset, writer_getset},
    {0, nullptr},
};

PyType_Spec writer_type_spec = {
    "morvane._native.MzmlWriter",
    sizeof(MzmlWriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    writer_slots,
};

int add_mzml_writer(PyObject* module) {
  Ref type(PyType_FromModuleAndSpec(module, &writer_type_spec, nullptr));
  if (!type) return -1;
  return add_public(module, "MzmlWriter", type.get());
}

const Extension mzml_writer_extension(add_mzml_writer);

}  // namespace
}  // namespace karvel::python::morvane
