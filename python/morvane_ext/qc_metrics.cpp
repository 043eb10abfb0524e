// _native.qc_collect(handle, threads) -> (columns, summaries): the quality-control
// pass over a run. columns maps each per-scan column name to a read-only
// numpy array (native_id: a list of str); summaries is a list of
// (polarity, dict) pairs: (None, whole run) first, then one per polarity when
// the run has scans of both. The pass runs on the shared ordered pool
// without the interpreter lock (threads=1: in the calling thread alone); a
// signal whose handler raises (Ctrl-C) stops it.

#include <Python.h>

#include <chrono>
#include <memory>
#include <optional>
#include <span>

#include "arrays.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "extension.hpp"
#include "heap_object.hpp"
#include "qc/collect.hpp"
#include "qc/metrics.hpp"
#include "ref.hpp"
#include "run_object.hpp"
#include "state.hpp"

namespace karvel::python::morvane {
namespace {

using qc::RunSummary;
using qc::ScanFacts;

constexpr std::chrono::milliseconds kSignalInterval{100};

template <class T, class Get>
std::vector<T> column(const std::vector<ScanFacts>& rows, Get get) {
  std::vector<T> out;
  out.reserve(rows.size());
  for (const ScanFacts& row : rows) out.push_back(static_cast<T>(get(row)));
  return out;
}

Ref columns_dict(ModuleState* state, const std::vector<ScanFacts>& rows) {
  Ref dict(PyDict_New());
  if (!dict) return Ref();
  auto add = [&](const char* name, Ref value) { return put(dict.get(), name, std::move(value)); };
  Ref ids(PyList_New(static_cast<Py_ssize_t>(rows.size())));
  if (!ids) return Ref();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    Ref id = to_str(rows[i].native_id);
    if (!id) return Ref();
    PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id.release());
  }
  const bool ok =
      add("index", array_of(state, column<std::uint32_t>(rows, [](auto& r) { return r.index; }))) &&
      add("scan", array_of(state, column<std::uint32_t>(rows, [](auto& r) { return r.scan_number; }))) &&
      add("native_id", std::move(ids)) &&
      add("ms_level", array_of(state, column<std::uint32_t>(rows, [](auto& r) { return r.ms_level; }))) &&
      add("rt", array_of(state, column<double>(rows, [](auto& r) { return r.rt; }))) &&
      add("polarity", array_of(state, column<std::int8_t>(rows, [](auto& r) { return r.polarity; }))) &&
      add("decoded", array_of(state, column<std::uint8_t>(rows, [](auto& r) { return r.decoded; }))) &&
      add("summed_peak_intensities", array_of(state, column<double>(rows, [](auto& r) { return r.tic; }))) &&
      add("base_peak_mz", array_of(state, column<double>(rows, [](auto& r) { return r.base_peak_mz; }))) &&
      add("base_peak_intensity",
          array_of(state, column<double>(rows, [](auto& r) { return r.base_peak_intensity; }))) &&
      add("num_peaks", array_of(state, column<std::uint32_t>(rows, [](auto& r) { return r.num_peaks; }))) &&
      add("lowest_mz", array_of(state, column<double>(rows, [](auto& r) { return r.lowest_mz; }))) &&
      add("highest_mz", array_of(state, column<double>(rows, [](auto& r) { return r.highest_mz; }))) &&
      add("scan_low_mz", array_of(state, column<double>(rows, [](auto& r) { return r.scan_low_mz; }))) &&
      add("scan_high_mz", array_of(state, column<double>(rows, [](auto& r) { return r.scan_high_mz; }))) &&
      add("precursor_mz", array_of(state, column<double>(rows, [](auto& r) { return r.precursor_mz; }))) &&
      add("calibration_source", array_of(state, column<std::uint8_t>(rows, [](auto& r) {
            return static_cast<std::uint8_t>(r.calibration_source);
          }))) &&
      add("calibration_drift_ppm",
          array_of(state, column<double>(rows, [](auto& r) { return r.calibration_drift_ppm; })));
  return ok ? std::move(dict) : Ref();
}

// A list of Python floats (NaN stays NaN; the Python side maps it to None).
Ref float_list(std::span<const double> values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return Ref();
  for (std::size_t i = 0; i < values.size(); ++i) {
    Ref item = to_float(values[i]);
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

template <std::size_t N>
Ref float_tuple_or_none(const std::optional<std::array<double, N>>& values) {
  if (!values) return Ref::borrow(Py_None);
  return float_list(std::span<const double>(values->data(), N));
}

Ref range_or_none(const std::optional<qc::Range>& range) {
  if (!range) return Ref::borrow(Py_None);
  const double values[2] = {range->first, range->second};
  return float_list(std::span<const double>(values, 2));
}

Ref count_or_none(const std::optional<std::uint64_t>& value) {
  return value ? to_int(*value) : Ref::borrow(Py_None);
}

Ref summary_dict(const RunSummary& s) {
  Ref dict(PyDict_New());
  if (!dict) return Ref();
  auto add = [&](const char* name, Ref value) { return put(dict.get(), name, std::move(value)); };
  const bool ok =
      add("scans", to_int(s.scans)) && add("ms1_spectra", to_int(s.ms1_spectra)) &&
      add("ms2_spectra", to_int(s.ms2_spectra)) && add("run_duration", float_or_none(s.run_duration)) &&
      add("rt_range", range_or_none(s.rt_range)) &&
      add("precursor_mz_range", range_or_none(s.precursor_mz_range)) &&
      add("scan_window_range", range_or_none(s.scan_window_range)) &&
      add("ms1_tic_area", float_or_none(s.ms1_tic_area)) &&
      add("tic_rt_fractions", float_tuple_or_none(s.tic_rt_fractions)) &&
      add("ms1_rt_fractions", float_tuple_or_none(s.ms1_rt_fractions)) &&
      add("ms2_rt_fractions", float_tuple_or_none(s.ms2_rt_fractions)) &&
      add("tic_change_ratios", float_tuple_or_none(s.tic_change_ratios)) &&
      add("tic_ratios", float_tuple_or_none(s.tic_ratios)) &&
      add("signal_jumps", count_or_none(s.signal_jumps)) && add("signal_falls", count_or_none(s.signal_falls)) &&
      add("ms1_median_cycle_time", float_or_none(s.ms1_median_cycle_time)) &&
      add("ms1_fastest_hz", float_or_none(s.ms1_fastest_hz)) &&
      add("ms2_fastest_hz", float_or_none(s.ms2_fastest_hz)) &&
      add("ms1_slowest_hz", float_or_none(s.ms1_slowest_hz)) &&
      add("ms2_slowest_hz", float_or_none(s.ms2_slowest_hz)) &&
      add("ms1_quarter_hz", float_tuple_or_none(s.ms1_quarter_hz)) &&
      add("ms2_quarter_hz", float_tuple_or_none(s.ms2_quarter_hz)) &&
      add("empty_ms1", count_or_none(s.empty_ms1)) && add("empty_ms2", count_or_none(s.empty_ms2)) &&
      add("failed_spectra", to_int(s.failed_spectra)) &&
      add("drift_median_ppm", float_or_none(s.drift_median_ppm)) &&
      add("drift_max_abs_ppm", float_or_none(s.drift_max_abs_ppm));
  return ok ? std::move(dict) : Ref();
}

struct Pass {
  std::vector<ScanFacts> rows;
  std::vector<std::pair<std::optional<std::int8_t>, RunSummary>> summaries;
};

// The rows, the whole run's summary and, for runs with scans of both
// polarities, one summary per polarity.
Result<Pass> run_pass(const reader::Reader& reader, const qc::CollectOptions& options) {
  auto rows = qc::collect(reader, options);
  if (!rows) return std::unexpected(std::move(rows.error()));
  Pass out;
  out.rows = std::move(*rows);
  out.summaries.emplace_back(std::nullopt, qc::summarise(out.rows));
  const auto polarities = qc::polarities_of(out.rows);
  std::size_t signed_polarities = 0;
  for (const auto p : polarities) signed_polarities += p != 0;
  if (signed_polarities == 2) {
    for (const std::int8_t p : {std::int8_t{1}, std::int8_t{-1}}) {
      out.summaries.emplace_back(p, qc::summarise(out.rows, p));
    }
  }
  return out;
}

PyObject* qc_collect(PyObject* module, PyObject* args) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* run = nullptr;
    unsigned threads = 0;
    if (!PyArg_ParseTuple(args, "OI:qc_collect", &run, &threads)) return nullptr;
    auto reader = reader_of(run);
    if (!reader) return nullptr;
    // The pass runs in this thread (and the pool's workers) without the
    // interpreter lock, which it takes back every 100 ms to let signal
    // handlers run: an exception from one (KeyboardInterrupt) stops it.
    bool interrupted = false;
    std::optional<Result<Pass>> done_pass;
    {
      PyThreadState* released = PyEval_SaveThread();
      auto next_check = std::chrono::steady_clock::now() + kSignalInterval;
      auto stop_requested = [&] {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_check) return false;
        next_check = now + kSignalInterval;
        PyEval_RestoreThread(released);
        interrupted = PyErr_CheckSignals() < 0;
        released = PyEval_SaveThread();
        return interrupted;
      };
      try {
        done_pass.emplace(run_pass(*reader, qc::CollectOptions{threads, stop_requested}));
      } catch (...) {
        PyEval_RestoreThread(released);
        throw;  // guarded() maps it
      }
      PyEval_RestoreThread(released);
    }
    if (interrupted) return nullptr;
    ModuleState* state = state_of_module<ModuleState>(module);
    if (!*done_pass) return reader_error(state, done_pass->error());
    const Pass& pass = **done_pass;
    Ref columns = columns_dict(state, pass.rows);
    if (!columns) return nullptr;
    Ref summaries(PyList_New(0));
    if (!summaries) return nullptr;
    for (const auto& [polarity, summary] : pass.summaries) {
      Ref key = polarity ? to_int(static_cast<std::int64_t>(*polarity)) : Ref::borrow(Py_None);
      Ref value = summary_dict(summary);
      if (!key || !value) return nullptr;
      Ref pair(PyTuple_Pack(2, key.get(), value.get()));
      if (!pair || !append(summaries.get(), std::move(pair))) return nullptr;
    }
    return PyTuple_Pack(2, columns.get(), summaries.get());
  });
}

PyMethodDef qc_functions[] = {
    {"qc_collect", qc_collect, METH_VARARGS,
     "qc_collect(handle, threads, /)\n--\n\nThe quality-control rows and run summaries of a run."},
    {nullptr, nullptr, 0, nullptr},
};

int add_qc_functions(PyObject* module) { return PyModule_AddFunctions(module, qc_functions); }

const Extension qc_extension(add_qc_functions);

}  // namespace
}  // namespace karvel::python::morvane
