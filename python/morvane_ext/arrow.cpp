#include "arrow.hpp"

#include <cerrno>
#include <exception>
#include <new>

#include "error_map.hpp"

namespace karvel::python::morvane {
namespace {

// Schema: a struct ("+s") whose children are the fields.
struct SchemaData {
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_child_schema(ArrowSchema* schema) noexcept { schema->release = nullptr; }

void release_schema(ArrowSchema* schema) noexcept {
  delete static_cast<SchemaData*>(schema->private_data);
  schema->release = nullptr;
}

void export_schema(const std::vector<Field>& fields, ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  data->children.resize(fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    data->children[i] = ArrowSchema{fields[i].format, fields[i].name, nullptr,
                                    fields[i].nullable ? ARROW_FLAG_NULLABLE : 0, 0, nullptr,
                                    nullptr, release_child_schema, nullptr};
    data->child_pointers.push_back(&data->children[i]);
  }
  *out = ArrowSchema{"+s", "", nullptr, 0, static_cast<std::int64_t>(fields.size()),
                     data->child_pointers.data(), nullptr, release_schema, data.get()};
  data.release();
}

// Array: a struct array with one child per column, each a primitive array
// with the buffers {validity, values}.
struct ArrayData {
  Batch batch;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  std::vector<const void*> buffers;  // 2 per child, then 1 for the struct
};

void release_child_array(ArrowArray* array) noexcept { array->release = nullptr; }

void release_array(ArrowArray* array) noexcept {
  delete static_cast<ArrayData*>(array->private_data);
  array->release = nullptr;
}

void export_batch(Batch batch, ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  const std::size_t count = batch.columns.size();
  data->batch = std::move(batch);
  data->children.resize(count);
  data->buffers.resize(2 * count + 1);
  for (std::size_t i = 0; i < count; ++i) {
    const Column& column = data->batch.columns[i];
    data->buffers[2 * i] = column.validity;
    data->buffers[2 * i + 1] = column.data;
    data->children[i] = ArrowArray{data->batch.length, column.null_count, 0, 2, 0,
                                   &data->buffers[2 * i], nullptr, nullptr,
                                   release_child_array, nullptr};
    data->child_pointers.push_back(&data->children[i]);
  }
  data->buffers[2 * count] = nullptr;
  *out = ArrowArray{data->batch.length, 0, 0, 1, static_cast<std::int64_t>(count),
                    &data->buffers[2 * count], data->child_pointers.data(), nullptr,
                    release_array, data.get()};
  data.release();
}

struct StreamData {
  std::unique_ptr<BatchSource> source;
  std::shared_ptr<FailureSlot> slot;
  std::string last_error;

  // Records error as the stream's failure; returns the errno the C stream
  // interface reports for its kind.
  int fail(const Error& error) {
    last_error = message_text(error);
    if (slot) slot->set(error);
    switch (error.root().kind()) {
      case Error::Kind::Memory:
        return ENOMEM;
      case Error::Kind::Argument:
      case Error::Kind::Parse:
        return EINVAL;
      default:
        return EIO;
    }
  }
};

StreamData* stream_data(ArrowArrayStream* stream) {
  return static_cast<StreamData*>(stream->private_data);
}

// Runs body; an escaping exception becomes the stream's last error.
template <class Body>
int reported(ArrowArrayStream* stream, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    try {
      return stream_data(stream)->fail(Error::out_of_memory());
    } catch (...) {
      return ENOMEM;
    }
  } catch (const std::exception& error) {
    try {
      return stream_data(stream)->fail(Error::internal(error.what()));
    } catch (...) {
      return EIO;
    }
  } catch (...) {
    return EIO;
  }
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  return reported(stream, [&] {
    export_schema(stream_data(stream)->source->fields(), out);
    return 0;
  });
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  return reported(stream, [&] {
    StreamData* data = stream_data(stream);
    auto batch = data->source->next();
    if (!batch) return data->fail(batch.error());
    if (!*batch) {
      out->release = nullptr;  // the end of the stream
      return 0;
    }
    export_batch(std::move(**batch), out);
    return 0;
  });
}

const char* stream_last_error(ArrowArrayStream* stream) noexcept {
  const std::string& text = stream_data(stream)->last_error;
  return text.empty() ? nullptr : text.c_str();
}

void stream_release(ArrowArrayStream* stream) noexcept {
  delete stream_data(stream);
  stream->release = nullptr;
}

void capsule_destructor(PyObject* capsule) noexcept {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, "arrow_array_stream"));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  // A consumer that took the stream over has moved it out (release NULL).
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

}  // namespace

void FailureSlot::set(Error error) {
  std::lock_guard lock(mutex_);
  error_ = std::move(error);
}

std::optional<Error> FailureSlot::get() const {
  std::lock_guard lock(mutex_);
  return error_;
}

Ref stream_capsule(std::unique_ptr<BatchSource> source, std::shared_ptr<FailureSlot> slot) {
  auto data = std::make_unique<StreamData>();
  data->source = std::move(source);
  data->slot = std::move(slot);
  auto stream = std::make_unique<ArrowArrayStream>(ArrowArrayStream{
      stream_get_schema, stream_get_next, stream_last_error, stream_release, data.get()});
  Ref capsule(PyCapsule_New(stream.get(), "arrow_array_stream", capsule_destructor));
  if (!capsule) return Ref();  // data and stream are released here
  data.release();
  stream.release();
  return capsule;
}

}  // namespace karvel::python::morvane
