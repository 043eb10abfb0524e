// The reader's log records, kept for Python: a sink installed when the
// module loads queues every warning and error (from any thread, without
// the interpreter lock), and
//
//   _native.take_log_records() -> [(level, target, message), ...]
//
// hands them over, oldest first, to be passed to Python's logging by the
// thread that asks (morvane._logging). The queue is bounded; what does not
// fit is counted and reported as one record.
//   _native.set_log_level(level)   0 off .. 5 trace: the records kept

#include <Python.h>

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <utility>

#include "boundary.hpp"
#include "extension.hpp"
#include "module_util.hpp"
#include "ref.hpp"
#include "support/format.hpp"
#include "support/log.hpp"

namespace karvel::python::morvane {
namespace {

constexpr std::size_t kMaxRecords = 1000;

struct Record {
  int level;
  std::string target;
  std::string message;
};

struct Queue {
  std::mutex mutex;
  std::deque<Record> records;
  std::size_t dropped = 0;
};

// Never destroyed: worker threads may log while the process exits.
Queue& queue() {
  static Queue* const instance = new Queue();
  return *instance;
}

void queue_record(log::Level level, std::string_view target, std::string_view message) noexcept {
  try {
    Queue& q = queue();
    const std::lock_guard lock(q.mutex);
    if (q.records.size() >= kMaxRecords) {
      ++q.dropped;
      return;
    }
    q.records.push_back({static_cast<int>(level), std::string(target), std::string(message)});
  } catch (...) {
    // Out of memory: the record is lost, the reader goes on.
  }
}

PyObject* take_log_records(PyObject*, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::deque<Record> records;
    std::size_t dropped = 0;
    {
      Queue& q = queue();
      const std::lock_guard lock(q.mutex);
      records.swap(q.records);
      dropped = std::exchange(q.dropped, 0);
    }
    if (dropped > 0) {
      records.push_back({static_cast<int>(log::Level::Warn), std::string(log::kReaderTarget),
                         str_cat(dropped, " more reader messages were dropped")});
    }
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    for (const Record& record : records) {
      Ref item(Py_BuildValue("(is#s#)", record.level, record.target.data(),
                             static_cast<Py_ssize_t>(record.target.size()), record.message.data(),
                             static_cast<Py_ssize_t>(record.message.size())));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* set_log_level(PyObject*, PyObject* arg) noexcept {
  const long level = PyLong_AsLong(arg);
  if (level == -1 && PyErr_Occurred()) return nullptr;
  if (level < static_cast<long>(log::Level::Off) || level > static_cast<long>(log::Level::Trace)) {
    PyErr_Format(PyExc_ValueError, "log level must be 0 to 5, not %ld", level);
    return nullptr;
  }
  log::set_max_level(static_cast<log::Level>(level));
  Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"take_log_records", take_log_records, METH_NOARGS,
     "take_log_records()\n--\n\nThe reader's queued log records as (level, target, message), oldest first."},
    {"set_log_level", set_log_level, METH_O,
     "set_log_level(level, /)\n--\n\nKeeps the reader's records up to level (0 off, 2 warnings, 5 trace)."},
    {nullptr, nullptr, 0, nullptr},
};

int add_log_records(PyObject* module) {
  for (PyMethodDef* def = functions; def->ml_name != nullptr; ++def) {
    Ref function(PyCFunction_NewEx(def, nullptr, nullptr));
    if (!function || add_public(module, def->ml_name, function.get()) < 0) return -1;
  }
  log::set_sink(&queue_record);
  log::set_max_level(log::Level::Warn);
  return 0;
}

const Extension log_records_extension(add_log_records);

}  // namespace
}  // namespace karvel::python::morvane
