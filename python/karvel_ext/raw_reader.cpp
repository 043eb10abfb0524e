// RawReader: one data folder opened and decoded whole at construction.

#include <Python.h>

#include <charconv>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "access.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "heap_object.hpp"
#include "lists.hpp"
#include "objects.hpp"
#include "params.hpp"
#include "path.hpp"
#include "path_argument.hpp"
#include "reader/reader.hpp"
#include "ref.hpp"
#include "state.hpp"

namespace karvel::python {
namespace {

using morvane_core::types::ChromatogramRecord;
using morvane_core::types::SpectrumRecord;
using reader::Reader;

struct RawReaderData {
  std::string path;  // as the file system sees it; used by __repr__ only
  std::unique_ptr<Reader> reader;
  std::vector<SpectrumRecord> spectra;
};

struct RawReaderObject {
  PyObject_HEAD
  RawReaderData data;
  AccessCount access;
};

RawReaderObject* object_of(PyObject* self) { return reinterpret_cast<RawReaderObject*>(self); }
RawReaderData& data_of(PyObject* self) { return object_of(self)->data; }

// Opens the folder and decodes every spectrum; sets a Python exception and
// returns nothing on the first failure.
std::optional<RawReaderData> open_and_decode(std::string path) {
  auto opened = Reader::open(path);
  if (!opened) {
    reader_err(opened.error());
    return std::nullopt;
  }
  std::vector<SpectrumRecord> spectra;
  {
    auto sequence = (*opened)->iter_spectra();
    spectra.reserve(sequence->remaining());
    while (auto item = sequence->next()) {
      if (!*item) {
        core_err(item->error());
        return std::nullopt;
      }
      spectra.push_back(std::move(**item));
    }
  }
  return std::optional<RawReaderData>(std::in_place, std::move(path), std::move(*opened),
                                      std::move(spectra));
}

PyObject* raw_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"path", nullptr};
    PyObject* path_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:RawReader", const_cast<char**>(keywords),
                                     &path_arg)) {
      return nullptr;
    }
    auto path = path_argument("RawReader", path_arg);
    if (!path) return nullptr;
    auto data = open_and_decode(std::move(*path));
    if (!data) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&object_of(self)->data) RawReaderData(std::move(*data));
    new (&object_of(self)->access) AccessCount();
    return self;
  });
}

void destroy_raw_reader(RawReaderObject& object) noexcept {
  object.access.~AccessCount();
  object.data.~RawReaderData();
}

// Runs body(data) with shared access to the reader object.
template <class Body>
PyObject* with_shared(PyObject* self, Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedAccess access(object_of(self)->access);
    if (!access) return nullptr;
    return body(data_of(self));
  });
}

PyObject* raw_reader_repr(PyObject* self) noexcept {
  return with_shared(self, [](RawReaderData& data) -> PyObject* {
    Ref path = path_str(data.path);
    if (!path) return nullptr;
    return PyUnicode_FromFormat("RawReader('%U', %zu scans)", path.get(), data.spectra.size());
  });
}

PyObject* raw_reader_scan_count(PyObject* self, void*) noexcept {
  return with_shared(self, [](RawReaderData& data) -> PyObject* {
    return to_int(static_cast<std::uint64_t>(data.spectra.size())).release();
  });
}

const char* calibration_source(const Reader& reader, std::size_t position) {
  const auto& calibrations = reader.calibrations();
  if (position >= calibrations.size() || !calibrations[position]) return nullptr;
  return calibrations[position]->from_default ? "default_mass_cal" : "mass_cal_record";
}

Ref scan_record_dict(const raw::msscan::ScanRecord& record, const char* source) {
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!dict || !put(d, "scan_id", to_int(std::uint64_t{record.scan_id})) ||
      !put(d, "retention_time_min", to_float(record.retention_time_min)) ||
      !put(d, "ms_level", to_int(std::uint64_t{record.ms_level})) ||
      !put(d, "min_x", float_or_none(record.min_x)) ||
      !put(d, "max_x", float_or_none(record.max_x)) ||
      !put(d, "tic", float_or_none(record.tic)) ||
      !put(d, "base_peak_mz", float_or_none(record.base_peak_mz)) ||
      !put(d, "base_peak_intensity", float_or_none(record.base_peak_intensity)) ||
      !put(d, "calibration_id", int_or_none(record.calibration_id)) ||
      !put(d, "ion_polarity", to_int(std::int64_t{record.ion_polarity})) ||
      !put(d, "calibration_source", source ? to_str(source) : Ref::borrow(Py_None)) ||
      !put(d, "mrm_channel_id", int_or_none(record.mrm_channel_id)) ||
      !put(d, "target_mz", float_or_none(record.target_mz)) ||
      !put(d, "collision_energy", float_or_none(record.collision_energy)) ||
      !put(d, "profile_params", spectrum_params_or_none(record.profile_params)) ||
      !put(d, "centroid_params", spectrum_params_or_none(record.centroid_params))) {
    return Ref();
  }
  return dict;
}

PyObject* raw_reader_scan_index(PyObject* self, PyObject*) noexcept {
  return with_shared(self, [](RawReaderData& data) -> PyObject* {
    const auto& scan = data.reader->scan();
    Ref dict(PyDict_New());
    if (!dict || !put(dict.get(), "global_header_size", to_int(std::uint64_t{scan.global_header_size})) ||
        !put(dict.get(), "stride", to_int(std::uint64_t{scan.stride}))) {
      return nullptr;
    }
    Ref records(PyList_New(0));
    if (!records) return nullptr;
    for (std::size_t i = 0; i < scan.records.size(); ++i) {
      if (!append(records.get(), scan_record_dict(scan.records[i], calibration_source(*data.reader, i)))) {
        return nullptr;
      }
    }
    if (!put(dict.get(), "records", std::move(records))) return nullptr;
    return dict.release();
  });
}

PyObject* raw_reader_device_info(PyObject* self, PyObject*) noexcept {
  return with_shared(self, [](RawReaderData& data) {
    return device_dict(data.reader->device()).release();
  });
}

// The scan_index argument of read_spectrum as an unsigned 64-bit position.
std::optional<std::uint64_t> spectrum_position(PyObject* arg) {
  if (!PyIndex_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "read_spectrum() argument 'scan_index' must be int, not %.200s",
                 Py_TYPE(arg)->tp_name);
    return std::nullopt;
  }
  Ref index(PyNumber_Index(arg));
  if (!index) return std::nullopt;
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

PyObject* raw_reader_read_spectrum(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return with_shared(self, [&](RawReaderData& data) -> PyObject* {
    static const char* keywords[] = {"scan_index", nullptr};
    PyObject* arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:read_spectrum", const_cast<char**>(keywords),
                                     &arg)) {
      return nullptr;
    }
    auto position = spectrum_position(arg);
    if (!position) return nullptr;
    if (*position >= data.spectra.size()) {
      return runtime_error("scan " + std::to_string(*position) + " out of range");
    }
    auto record = std::make_unique<const SpectrumRecord>(data.spectra[*position]);
    return new_spectrum(state_of_type<ModuleState>(Py_TYPE(self))->spectrum, std::move(record)).release();
  });
}

PyObject* raw_reader_run_info(PyObject* self, PyObject*) noexcept {
  return with_shared(self, [](RawReaderData& data) -> PyObject* {
    return run_metadata_dict(data.reader->run_metadata()).release();
  });
}

Ref chromatogram_dict(const ChromatogramRecord& chromatogram) {
  Ref dict(PyDict_New());
  PyObject* d = dict.get();
  if (!dict || !put(d, "index", to_int(chromatogram.index)) ||
      !put(d, "id", to_str(chromatogram.id)) ||
      !put(d, "chromatogram_type", chromatogram.chromatogram_type
                                       ? term_dict(*chromatogram.chromatogram_type)
                                       : Ref::borrow(Py_None)) ||
      !put(d, "precursor_mz", float_or_none(chromatogram.precursor_mz)) ||
      !put(d, "product_mz", float_or_none(chromatogram.product_mz)) ||
      !put(d, "time_sec", float_list(chromatogram.time_sec)) ||
      !put(d, "intensity", float_list(chromatogram.intensity))) {
    return Ref();
  }
  return dict;
}

PyObject* raw_reader_read_chromatograms(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    RawReaderData& data = data_of(self);
    ExclusiveAccess access(object_of(self)->access);
    if (!access) return nullptr;
    auto sequence = data.reader->iter_chromatograms();
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    while (auto item = sequence->next()) {
      if (!*item) return core_err(item->error());
      if (!append(list.get(), chromatogram_dict(**item))) return nullptr;
    }
    return list.release();
  });
}

PyMethodDef raw_reader_methods[] = {
    {"read_spectrum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(raw_reader_read_spectrum)),
     METH_VARARGS | METH_KEYWORDS, "read_spectrum($self, scan_index)\n--\n\n"},
    {"run_info", raw_reader_run_info, METH_NOARGS, "run_info($self)\n--\n\n"},
    {"device_info", raw_reader_device_info, METH_NOARGS,
     "device_info($self)\n--\n\nInstrument name and model decoded from Devices.xml, when available."},
    {"read_chromatograms", raw_reader_read_chromatograms, METH_NOARGS,
     "read_chromatograms($self)\n--\n\n"},
    {"scan_index", raw_reader_scan_index, METH_NOARGS,
     "scan_index($self)\n--\n\nThe decoded MSScan.bin header and scan records."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef raw_reader_getset[] = {
    {"scan_count", raw_reader_scan_count, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot raw_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("RawReader(path)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(raw_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<RawReaderObject, destroy_raw_reader>)},
    {Py_tp_repr, reinterpret_cast<void*>(raw_reader_repr)},
    {Py_tp_methods, raw_reader_methods},
    {Py_tp_getset, raw_reader_getset},
    {0, nullptr},
};

PyType_Spec raw_reader_type_spec = {
    "karvel.RawReader",
    sizeof(RawReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    raw_reader_slots,
};

}  // namespace

PyType_Spec* raw_reader_spec() { return &raw_reader_type_spec; }

}  // namespace karvel::python
