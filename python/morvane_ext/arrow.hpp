// The Arrow C data and C stream interfaces (the ABI-stable structs every
// Arrow implementation exchanges), and a producer of record-batch streams
// over C++-owned columns. A stream travels to Python as a PyCapsule named
// "arrow_array_stream", as __arrow_c_stream__ requires.
#pragma once

#include <Python.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "boundary.hpp"
#include "support/error.hpp"
#include "ref.hpp"

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace karvel::python::morvane {

// One column of a table: a name, an Arrow primitive format ("g" float64,
// "f" float32, "I" uint32, "C" uint8, "c" int8, "l" int64) and whether it
// may hold nulls.
struct Field {
  const char* name;
  const char* format;
  bool nullable = false;
};

// The values of one column in one batch; owner keeps data and validity
// alive. validity is a bitmap (bit set: value present), or nullptr.
struct Column {
  std::shared_ptr<const void> owner;
  const void* data = nullptr;
  const std::uint8_t* validity = nullptr;
  std::int64_t null_count = 0;
};

struct Batch {
  std::int64_t length = 0;
  std::vector<Column> columns;  // one per field, in field order
};

// What a stream reads its batches from. next() runs on whatever thread the
// consumer calls get_next on, without the interpreter lock; it returns the
// next batch, nothing at the end, or the error (the stream reports its
// text, see message_text, and an errno of its kind; the error itself goes
// to the stream's FailureSlot).
class BatchSource {
 public:
  virtual ~BatchSource() = default;
  virtual const std::vector<Field>& fields() const = 0;
  virtual Result<std::optional<Batch>> next() = 0;
};

// Where the streams of one producer leave the error that ended them, so
// that the Python side raises it with its kind (an OSError with its file,
// MemoryError, FormatError) rather than what the consumer made of its
// text. Shared by the producer object and its streams; any thread.
class FailureSlot {
 public:
  void set(Error error);
  std::optional<Error> get() const;

 private:
  mutable std::mutex mutex_;
  std::optional<Error> error_;
};

// A PyCapsule "arrow_array_stream" over source; failures also go to slot
// when there is one.
Ref stream_capsule(std::unique_ptr<BatchSource> source, std::shared_ptr<FailureSlot> slot = {});

// The body of an `__arrow_c_stream__(requested_schema=None)` method: parses
// its arguments and returns a capsule over the source make_source() builds.
// A requested schema is accepted and not applied (the stream keeps its own).
template <class MakeSource>
PyObject* arrow_stream_method(PyObject* args, PyObject* kwargs, MakeSource&& make_source,
                              std::shared_ptr<FailureSlot> slot = {}) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"requested_schema", nullptr};
    PyObject* requested = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                     const_cast<char**>(keywords), &requested)) {
      return nullptr;
    }
    return stream_capsule(make_source(), std::move(slot)).release();
  });
}

// A column whose values are a vector the column then owns.
template <class T>
Column owned_column(std::vector<T> values) {
  auto owned = std::make_shared<const std::vector<T>>(std::move(values));
  const void* data = owned->data();
  return Column{std::move(owned), data, nullptr, 0};
}

}  // namespace karvel::python::morvane
