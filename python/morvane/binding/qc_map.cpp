// _core.rt_mz_map: the RT × m/z intensity map of a run's spectra for the
// quality-control report.
//
//   rt_mz_map(run, indices, rt_low, rt_high, rt_bins, mz_bins, mz_low, mz_high, threads)
//     -> (cells float64 (flat, rows of rt), rt_edges float64, mz_edges float64, points, dropped)
//
// mz_low and mz_high are both None (the range is found while binning) or
// both floats. The spectra are decoded ahead on worker threads and binned
// in index order as they arrive; everything runs without the interpreter
// lock. A spectrum that cannot be decoded raises FormatError.

#include <Python.h>

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "boundary.hpp"
#include "errors.hpp"
#include "extension.hpp"
#include "indices.hpp"
#include "module_util.hpp"
#include "pool.hpp"
#include "qc/rt_mz_map.hpp"
#include "ref.hpp"
#include "run_object.hpp"
#include "state.hpp"

namespace karvel::python::morvane {
namespace {

std::expected<qc::MapGrid, std::string> bin_spectra(std::shared_ptr<const reader::Reader> reader,
                                                    std::vector<std::uint32_t> indices,
                                                    qc::RtMzMap map, unsigned threads) {
  if (indices.empty()) return map.finish();
  auto pool = DecodePool::start(std::move(reader), std::move(indices), Mode::Auto, threads);
  while (auto item = pool->next()) {
    if (!item->result) {
      pool->stop();
      return std::unexpected(std::move(item->result.error()));
    }
    auto& spectrum = *item->result;
    map.add(spectrum.retention_time_sec, spectrum.mz, spectrum.intensity);
    pool->recycle(std::move(spectrum));
  }
  return map.finish();
}

std::optional<std::optional<double>> optional_float(PyObject* value) {
  if (value == Py_None) return std::optional<double>{};
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
  return std::optional<double>{number};
}

PyObject* rt_mz_map(PyObject* module, PyObject* args) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject *run = nullptr, *indices_arg = nullptr, *mz_low_arg = nullptr, *mz_high_arg = nullptr;
    double rt_low = 0, rt_high = 0;
    unsigned rt_bins = 0, mz_bins = 0, threads = 0;
    if (!PyArg_ParseTuple(args, "OOddIIOOI:rt_mz_map", &run, &indices_arg, &rt_low, &rt_high, &rt_bins,
                          &mz_bins, &mz_low_arg, &mz_high_arg, &threads)) {
      return nullptr;
    }
    auto reader = reader_of(run);
    if (!reader) return nullptr;
    auto indices = index_argument(indices_arg, reader->scan().records.size());
    if (!indices) return nullptr;
    auto mz_low = optional_float(mz_low_arg);
    if (!mz_low) return nullptr;
    auto mz_high = optional_float(mz_high_arg);
    if (!mz_high) return nullptr;
    auto map = qc::RtMzMap::create(
        qc::MapShape{{rt_low, rt_high, rt_bins}, mz_bins, *mz_low, *mz_high});
    if (!map) {
      PyErr_SetString(PyExc_ValueError, map.error().c_str());
      return nullptr;
    }
    auto grid = without_gil([&] {
      return bin_spectra(reader, std::move(*indices), std::move(*map), worker_count(threads));
    });
    ModuleState* state = state_of_module(module);
    if (!grid) return format_error(state, grid.error());
    Ref cells = array_of(state, std::move(grid->cells));
    if (!cells) return nullptr;
    Ref rt_edges = array_of(state, std::move(grid->rt_edges));
    if (!rt_edges) return nullptr;
    Ref mz_edges = array_of(state, std::move(grid->mz_edges));
    if (!mz_edges) return nullptr;
    return Py_BuildValue("(OOOKK)", cells.get(), rt_edges.get(), mz_edges.get(),
                         static_cast<unsigned long long>(grid->points),
                         static_cast<unsigned long long>(grid->dropped_points));
  });
}

PyMethodDef rt_mz_map_def = {
    "rt_mz_map", rt_mz_map, METH_VARARGS,
    "rt_mz_map(run, indices, rt_low, rt_high, rt_bins, mz_bins, mz_low, mz_high, threads, /)\n--\n\n"
    "The summed intensity of the spectra of indices on an RT x m/z grid."};

int add_rt_mz_map(PyObject* module) {
  Ref name(PyModule_GetNameObject(module));
  if (!name) return -1;
  Ref function(PyCMethod_New(&rt_mz_map_def, module, name.get(), nullptr));
  if (!function) return -1;
  return add_public(module, "rt_mz_map", function.get());
}

const Extension rt_mz_map_extension(add_rt_mz_map);

}  // namespace
}  // namespace karvel::python::morvane
