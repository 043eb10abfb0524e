// _native.rt_mz_map: the RT × m/z intensity map of a run's spectra for the
// quality-control report.
//
//   rt_mz_map(handle, indices, rt_low, rt_high, rt_bins, mz_bins, mz_low, mz_high, threads)
//     -> (cells float64 (flat, rows of rt), rt_edges float64, mz_edges float64, points, dropped)
//
// mz_low and mz_high are both None (the range is found while binning) or
// both floats. With a fixed m/z range each worker thread of the ordered pool
// decodes its spectrum and bins it into a row (RtMzMap::bin), and the rows
// are added in the order of indices, so the sums are the same for every
// thread count. A range found while binning depends on the order of the
// points: the spectra are decoded ahead on the workers and binned in order.
// Everything runs without the interpreter lock; a spectrum that cannot be
// decoded raises FormatError.

#include <Python.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "arrays.hpp"
#include "boundary.hpp"
#include "errors.hpp"
#include "extension.hpp"
#include "heap_object.hpp"
#include "indices.hpp"
#include "options.hpp"
#include "module_util.hpp"
#include "pool.hpp"
#include "qc/rt_mz_map.hpp"
#include "ref.hpp"
#include "run_object.hpp"
#include "state.hpp"
#include "support/ordered_pool.hpp"

namespace karvel::python::morvane {
namespace {

Result<qc::MapGrid> bin_rows_on_workers(const std::shared_ptr<const reader::Reader>& reader,
                                        const std::vector<std::uint32_t>& indices, qc::RtMzMap& map,
                                        unsigned threads) {
  using Pool = OrderedPool<qc::MapRow>;
  // Each worker decodes into the arrays of its previous spectrum.
  std::vector<raw::Peaks> spare(std::max<std::size_t>(Pool::worker_count(indices.size(), threads), 1));
  auto work = [&](std::size_t position, std::size_t worker) -> Result<qc::MapRow> {
    auto spectrum = reader->spectrum(indices[position], BlockChoice::Auto, std::move(spare[worker]), nullptr, {},
                                     reader::Extra::Skip);
    if (!spectrum) return std::unexpected(std::move(spectrum.error()));
    qc::MapRow row = map.bin(spectrum->retention_time_sec, spectrum->mz, spectrum->intensity);
    spare[worker] = raw::Peaks{std::move(spectrum->mz), std::move(spectrum->intensity)};
    return row;
  };
  auto started = Pool::start(indices.size(), threads, work);
  if (!started) return std::unexpected(std::move(started.error()));
  Pool& pool = **started;
  while (auto row = pool.next()) {
    if (!*row) return std::unexpected(std::move(row->error()));
    map.add(**row);
  }
  return map.finish();
}

Result<qc::MapGrid> bin_in_order(std::shared_ptr<const reader::Reader> reader, std::vector<std::uint32_t> indices,
                                 qc::RtMzMap& map, unsigned threads) {
  auto started = DecodePool::start(std::move(reader), std::move(indices), BlockChoice::Auto, threads);
  if (!started) return std::unexpected(std::move(started.error()));
  DecodePool& pool = **started;
  while (auto item = pool.next()) {
    if (!item->result) return std::unexpected(std::move(item->result.error()));
    auto& spectrum = *item->result;
    map.add(spectrum.retention_time_sec, spectrum.mz, spectrum.intensity);
    pool.recycle(std::move(spectrum));
  }
  return map.finish();
}

Result<qc::MapGrid> bin_spectra(std::shared_ptr<const reader::Reader> reader, std::vector<std::uint32_t> indices,
                                qc::RtMzMap map, unsigned threads) {
  if (indices.empty()) return map.finish();
  if (map.fixed_mz()) return bin_rows_on_workers(reader, indices, map, threads);
  return bin_in_order(std::move(reader), std::move(indices), map, threads);
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
                          &mz_bins, &mz_low_arg, &mz_high_arg, &threads) ||
        !check_threads(threads)) {
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
    ModuleState* state = state_of_module<ModuleState>(module);
    if (!map) return reader_error(state, map.error());
    auto grid = without_gil([&] { return bin_spectra(reader, std::move(*indices), std::move(*map), threads); });
    if (!grid) return reader_error(state, grid.error());
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
    "rt_mz_map(handle, indices, rt_low, rt_high, rt_bins, mz_bins, mz_low, mz_high, threads, /)\n--\n\n"
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
