// _native.RunHandle: one opened data folder and the operations morvane.Run
// delegates to it. Long work runs without the interpreter lock.

#include <Python.h>

#include <cmath>
#include <cstdint>
#include <new>
#include <optional>

#include "arrays.hpp"
#include "boundary.hpp"
#include "chromatograms.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "heap_object.hpp"
#include "indices.hpp"
#include "options.hpp"
#include "path.hpp"
#include "pool.hpp"
#include "reader/mrm_points.hpp"
#include "run_object.hpp"
#include "scan_columns.hpp"
#include "spectrum.hpp"
#include "streams.hpp"

namespace karvel::python::morvane {
namespace {

using reader::Reader;

RunObject* object_of(PyObject* self) { return reinterpret_cast<RunObject*>(self); }

// The spectra a pass left out, as a list of (index, reason).
Ref failure_list(const std::vector<std::pair<std::uint32_t, Error>>& failures) {
  Ref list(PyList_New(0));
  if (!list) return list;
  for (const auto& [index, error] : failures) {
    const std::string text = reason_text(error);
    Ref entry(Py_BuildValue("(Is#)", static_cast<unsigned>(index), text.data(),
                            static_cast<Py_ssize_t>(text.size())));
    if (!entry || PyList_Append(list.get(), entry.get()) < 0) return Ref();
  }
  return list;
}
ModuleState* state_of(PyObject* self) { return state_of_type<ModuleState>(Py_TYPE(self)); }

PyObject* run_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:RunHandle", const_cast<char**>(keywords),
                                     &path_arg)) {
      return nullptr;
    }
    auto path = path_like_argument("RunHandle", "path", path_arg);
    if (!path) return nullptr;
    auto opened = without_gil([&] { return Reader::open(*path, reader::Loading::Lazy); });
    if (!opened) return reader_error(state_of_type<ModuleState>(type), opened.error());
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    RunObject* object = object_of(self.get());
    new (&object->reader) std::atomic<std::shared_ptr<const Reader>>(std::move(*opened));
    new (&object->path) std::string(std::move(*path));
    return self.release();
  });
}

void destroy_run(RunObject& object) noexcept {
  using Atomic = std::atomic<std::shared_ptr<const Reader>>;
  object.reader.~Atomic();
  object.path.~basic_string();
}

// Runs body(reader) when the run is open.
template <class Body>
PyObject* with_reader(PyObject* self, Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    auto reader = reader_of(self);
    if (!reader) return nullptr;
    return body(reader);
  });
}

Py_ssize_t run_len(PyObject* self) noexcept {
  auto reader = object_of(self)->reader.load();
  if (!reader) {
    PyErr_SetString(PyExc_ValueError, "the run is closed");
    return -1;
  }
  return static_cast<Py_ssize_t>(reader->scan_count());
}

PyObject* run_path(PyObject* self, void*) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return path_str(object_of(self)->path).release(); });
}

PyObject* run_closed(PyObject* self, void*) noexcept {
  return PyBool_FromLong(object_of(self)->reader.load() == nullptr);
}

PyObject* run_close(PyObject* self, PyObject*) noexcept {
  object_of(self)->reader.store(nullptr);
  Py_RETURN_NONE;
}

PyObject* run_info(PyObject* self, PyObject*) noexcept {
  return with_reader(self, [](const std::shared_ptr<const Reader>& reader) {
    return run_metadata_dict(reader->run_metadata()).release();
  });
}

PyObject* run_device(PyObject* self, PyObject*) noexcept {
  return with_reader(self, [](const std::shared_ptr<const Reader>& reader) {
    return device_dict(reader->device()).release();
  });
}

PyObject* run_scan_columns(PyObject* self, PyObject*) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) {
    return new_scan_columns(state_of(self), *reader).release();
  });
}

// spectrum(index, choice, min_level=0, max_level=max, snr=3.0): one
// spectrum, decoded without the lock.
PyObject* run_spectrum(PyObject* self, PyObject* args) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) -> PyObject* {
    Py_ssize_t index = 0;
    int code = 0;
    unsigned min_level = 0, max_level = UINT32_MAX;
    double snr = centroid::kDefaultSnr;
    int keep_spikes = 0;
    if (!PyArg_ParseTuple(args, "ni|IIdp:spectrum", &index, &code, &min_level, &max_level, &snr, &keep_spikes)) {
      return nullptr;
    }
    auto picking = picking_of(code, min_level, max_level, snr, keep_spikes != 0);
    if (!picking) return nullptr;
    const auto count = static_cast<Py_ssize_t>(reader->scan_count());
    if (index < 0 || index >= count) {
      PyErr_SetString(PyExc_IndexError, "spectrum index out of range");
      return nullptr;
    }
    auto decoded = without_gil([&] {
      return reader->spectrum(static_cast<std::uint64_t>(index), picking->choice, {}, nullptr, picking->centroid,
                              reader::Extra::Skip);
    });
    if (!decoded) return reader_error(state_of(self), decoded.error());
    return new_spectrum(state_of(self), std::move(*decoded)).release();
  });
}

// The arguments of a pass over spectra, as spectra() and peaks() take them:
// (indices, choice, skip, [metadata,] threads, min_level=0, max_level=max,
// snr=3.0, keep_spikes=False), checked and typed.
struct PassArguments {
  std::vector<std::uint32_t> indices;
  Picking picking;
  bool skip = false;
  bool metadata = false;
  unsigned threads = 0;
};

std::optional<PassArguments> pass_arguments(PyObject* args, bool with_metadata, const Reader& reader) {
  PyObject* indices_arg = nullptr;
  int code = 0, skip = 0, metadata = 0, keep_spikes = 0;
  unsigned threads = 0, min_level = 0, max_level = UINT32_MAX;
  double snr = centroid::kDefaultSnr;
  const bool parsed =
      with_metadata ? PyArg_ParseTuple(args, "OippI|IIdp:peaks", &indices_arg, &code, &skip, &metadata, &threads,
                                       &min_level, &max_level, &snr, &keep_spikes)
                    : PyArg_ParseTuple(args, "OipI|IIdp:spectra", &indices_arg, &code, &skip, &threads, &min_level,
                                       &max_level, &snr, &keep_spikes);
  if (!parsed || !check_threads(threads)) return std::nullopt;
  auto picking = picking_of(code, min_level, max_level, snr, keep_spikes != 0);
  if (!picking) return std::nullopt;
  auto indices = index_argument(indices_arg, reader.scan_count());
  if (!indices) return std::nullopt;
  return PassArguments{std::move(*indices), *picking, skip != 0, metadata != 0, threads};
}

// spectra(indices, choice, skip, threads, min_level=0, max_level=max, snr=3.0, keep_spikes=False)
PyObject* run_spectra(PyObject* self, PyObject* args) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) -> PyObject* {
    auto pass = pass_arguments(args, false, *reader);
    if (!pass) return nullptr;
    return new_spectrum_stream(state_of(self), reader, std::move(pass->indices), pass->picking.choice, pass->skip,
                               pass->threads, pass->picking.centroid)
        .release();
  });
}

// peaks(indices, choice, skip, metadata, threads, min_level=0, max_level=max, snr=3.0,
// keep_spikes=False)
PyObject* run_peaks(PyObject* self, PyObject* args) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) -> PyObject* {
    auto pass = pass_arguments(args, true, *reader);
    if (!pass) return nullptr;
    PeakOptions options;
    options.choice = pass->picking.choice;
    options.centroid = pass->picking.centroid;
    options.skip_errors = pass->skip;
    if (options.skip_errors) options.skipped = std::make_shared<SkipLog>();
    options.metadata = pass->metadata;
    options.threads = pass->threads;
    return new_peak_stream(state_of(self), reader, std::move(pass->indices), options).release();
  });
}

// xic(indices, lows, highs, threads, choice=0, min_level=0, max_level=max,
// snr=3.0, skip=False) -> (rt float64, sums float64 of spectra * len(lows),
// one spectrum's sums of the windows [lows[k], highs[k]] after another,
// failures: (index, message) of the spectra left out with skip)
PyObject* run_xic(PyObject* self, PyObject* args) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) -> PyObject* {
    PyObject* indices_arg = nullptr;
    PyObject* lows_arg = nullptr;
    PyObject* highs_arg = nullptr;
    unsigned threads = 0;
    int code = 0;
    unsigned min_level = 0, max_level = UINT32_MAX;
    double snr = centroid::kDefaultSnr;
    int skip = 0;
    if (!PyArg_ParseTuple(args, "OOOI|iIIdp:xic", &indices_arg, &lows_arg, &highs_arg, &threads, &code,
                          &min_level, &max_level, &snr, &skip) ||
        !check_threads(threads)) {
      return nullptr;
    }
    const auto picking = picking_of(code, min_level, max_level, snr);
    if (!picking) return nullptr;
    auto indices = index_argument(indices_arg, reader->scan_count());
    if (!indices) return nullptr;
    auto lows = double_argument(lows_arg, "lows");
    if (!lows) return nullptr;
    auto highs = double_argument(highs_arg, "highs");
    if (!highs) return nullptr;
    if (lows->size() != highs->size()) {
      PyErr_SetString(PyExc_ValueError, "lows and highs differ in length");
      return nullptr;
    }
    std::vector<reader::MzWindow> list(lows->size());
    for (std::size_t k = 0; k < list.size(); ++k) list[k] = {(*lows)[k], (*highs)[k]};
    const reader::MzWindows windows(std::move(list));
    std::vector<std::pair<std::uint32_t, Error>> failures;
    auto traces = without_gil([&] {
      return extracted_ion_traces(reader, std::move(*indices), windows, picking->choice, picking->centroid,
                                  threads, skip ? &failures : nullptr);
    });
    if (!traces) return reader_error(state_of(self), traces.error());
    ModuleState* state = state_of(self);
    Ref failed = failure_list(failures);
    if (!failed) return nullptr;
    Ref rt = array_of(state, std::move(traces->rt));
    if (!rt) return nullptr;
    const std::span<const double> sums(traces->values.get(), traces->count);
    Ref values = array_view(state, std::move(traces->values), sums);
    if (!values) return nullptr;
    return PyTuple_Pack(3, rt.get(), values.get(), failed.get());
  });
}

// transitions(indices, skip=False) -> (spectrum_index, channel, rt, mz,
// intensity, collision_energy, polarity, failures): the points of the MRM
// scans among indices (None: every scan); failures (index, message) of the
// scans left out with skip.
PyObject* run_transitions(PyObject* self, PyObject* args) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) -> PyObject* {
    PyObject* indices_arg = nullptr;
    int skip = 0;
    if (!PyArg_ParseTuple(args, "O|p:transitions", &indices_arg, &skip)) return nullptr;
    std::optional<std::vector<std::uint32_t>> indices;
    if (indices_arg != Py_None) {
      indices = index_argument(indices_arg, reader->scan_count());
      if (!indices) return nullptr;
    }
    reader::ScanFailures failures;
    auto columns = without_gil([&] {
      return indices ? reader::mrm_points(*reader, *indices, skip ? &failures : nullptr)
                     : reader::mrm_points(*reader, skip ? &failures : nullptr);
    });
    if (!columns) return reader_error(state_of(self), columns.error());
    Ref failed = failure_list(failures);
    if (!failed) return nullptr;
    ModuleState* state = state_of(self);
    Ref arrays[] = {
        array_of(state, std::move(columns->spectrum_index)), array_of(state, std::move(columns->channel)),
        array_of(state, std::move(columns->rt)),             array_of(state, std::move(columns->mz)),
        array_of(state, std::move(columns->intensity)),      array_of(state, std::move(columns->collision_energy)),
        array_of(state, std::move(columns->polarity)),
    };
    for (const Ref& array : arrays) {
      if (!array) return nullptr;
    }
    return PyTuple_Pack(8, arrays[0].get(), arrays[1].get(), arrays[2].get(), arrays[3].get(), arrays[4].get(),
                        arrays[5].get(), arrays[6].get(), failed.get());
  });
}

// chromatograms(threads, skipped=None, skip=False) -> (rt, tic, base peak,
// failures): float64, MS1 spectra only, less those at the uint32 positions
// `skipped`; with skip, less those that do not decode too, listed in
// failures as (index, message) (else the first raises).
PyObject* run_chromatograms(PyObject* self, PyObject* args) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) -> PyObject* {
    unsigned threads = 0;
    PyObject* skipped_arg = Py_None;
    int skip = 0;
    if (!PyArg_ParseTuple(args, "I|Op:chromatograms", &threads, &skipped_arg, &skip) || !check_threads(threads)) {
      return nullptr;
    }
    std::vector<std::uint32_t> skipped;
    if (skipped_arg != Py_None) {
      auto positions = index_argument(skipped_arg, reader->scan_count());
      if (!positions) return nullptr;
      skipped = std::move(*positions);
    }
    std::vector<std::pair<std::uint32_t, Error>> failures;
    auto result = without_gil([&] { return ms1_chromatograms(reader, threads, skipped, skip ? &failures : nullptr); });
    if (!result) return reader_error(state_of(self), result.error());
    ModuleState* state = state_of(self);
    Ref failed = failure_list(failures);
    if (!failed) return nullptr;
    Ref rt = array_of(state, std::move(result->rt));
    if (!rt) return nullptr;
    Ref tic = array_of(state, std::move(result->tic));
    if (!tic) return nullptr;
    Ref base_peak = array_of(state, std::move(result->base_peak));
    if (!base_peak) return nullptr;
    return PyTuple_Pack(4, rt.get(), tic.get(), base_peak.get(), failed.get());
  });
}

// native_ids(positions) -> list of the native ids of the scans at positions
PyObject* run_native_ids(PyObject* self, PyObject* positions_arg) noexcept {
  return with_reader(self, [&](const std::shared_ptr<const Reader>& reader) -> PyObject* {
    auto positions = index_argument(positions_arg, reader->scan_count());
    if (!positions) return nullptr;
    const auto& records = reader->scan().records;
    Ref list(PyList_New(static_cast<Py_ssize_t>(positions->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < positions->size(); ++i) {
      Ref id = to_str(reader::ScanRow(records[(*positions)[i]]).native_id());
      if (!id) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id.release());
    }
    return list.release();
  });
}

// scan_id_of(native_id) -> the scan id the text names, or None
PyObject* run_scan_id_of(PyObject*, PyObject* text) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!PyUnicode_Check(text)) Py_RETURN_NONE;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();  // not encodable: names no scan
      Py_RETURN_NONE;
    }
    const auto scan_id = reader::scan_id_of(std::string_view(utf8, static_cast<std::size_t>(size)));
    if (!scan_id) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(*scan_id);
  });
}

PyMethodDef run_methods[] = {
    {"native_ids", run_native_ids, METH_O,
     "native_ids($self, positions, /)\n--\n\nThe native ids of the scans at positions."},
    {"scan_id_of", run_scan_id_of, METH_O,
     "scan_id_of($self, native_id, /)\n--\n\nThe scan id a native id names, or None."},
    {"close", run_close, METH_NOARGS, "close($self)\n--\n\nReleases the reader."},
    {"info", run_info, METH_NOARGS, "info($self)\n--\n\nThe run metadata as a dict."},
    {"device", run_device, METH_NOARGS, "device($self)\n--\n\nDevice name and model, or None."},
    {"scan_columns", run_scan_columns, METH_NOARGS,
     "scan_columns($self)\n--\n\nThe scan table as columns."},
    {"spectrum", run_spectrum, METH_VARARGS,
     "spectrum($self, index, choice, min_level=0, max_level=4294967295, snr=3.0, keep_spikes=False, /)\n--\n\n"
     "Decodes one spectrum."},
    {"spectra", run_spectra, METH_VARARGS,
     "spectra($self, indices, choice, skip, threads, min_level=0, max_level=4294967295, snr=3.0, "
     "keep_spikes=False, /)"
     "\n--\n\n"
     "Spectra of indices decoded ahead on worker threads."},
    {"peaks", run_peaks, METH_VARARGS,
     "peaks($self, indices, choice, skip, metadata, threads, min_level=0, max_level=4294967295, "
     "snr=3.0, keep_spikes=False, /)\n--\n\n"
     "The peak table of indices as an Arrow stream provider."},
    {"xic", run_xic, METH_VARARGS,
     "xic($self, indices, lows, highs, threads, choice=0, min_level=0, max_level=4294967295, snr=3.0, "
     "skip=False, /)"
     "\n--\n\nExtracted-ion traces of m/z windows over indices, the windows' sums spectrum after spectrum."},
    {"transitions", run_transitions, METH_VARARGS,
     "transitions($self, indices, skip=False, /)\n--\n\nThe points of the MRM scans among indices as columns."},
    {"chromatograms", run_chromatograms, METH_VARARGS,
     "chromatograms($self, threads, skipped=None, skip=False, /)\n--\n\nTIC and base-peak chromatograms of MS1."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef run_getset[] = {
    {"path", run_path, nullptr, "The folder path.", nullptr},
    {"closed", run_closed, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot run_slots[] = {
    {Py_tp_doc, const_cast<char*>("RunHandle(path)\n--\n\nAn opened data folder.")},
    {Py_tp_new, reinterpret_cast<void*>(run_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<RunObject, destroy_run>)},
    {Py_tp_methods, run_methods},
    {Py_tp_getset, run_getset},
    {Py_sq_length, reinterpret_cast<void*>(run_len)},
    {0, nullptr},
};

PyType_Spec run_type_spec = {
    "morvane._native.RunHandle",
    sizeof(RunObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    run_slots,
};

}  // namespace

PyType_Spec* run_spec() { return &run_type_spec; }

std::shared_ptr<const Reader> reader_of(PyObject* object) {
  PyObject* module = PyType_GetModuleByDef(Py_TYPE(object), module_def());
  if (module == nullptr) PyErr_Clear();
  if (module == nullptr || Py_TYPE(object) != state_of_module<ModuleState>(module)->run) {
    PyErr_Format(PyExc_TypeError, "expected a morvane run, not %.200s", Py_TYPE(object)->tp_name);
    return nullptr;
  }
  auto reader = object_of(object)->reader.load();
  if (!reader) PyErr_SetString(PyExc_ValueError, "the run is closed");
  return reader;
}

}  // namespace karvel::python::morvane
