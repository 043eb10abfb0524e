#include "scan_columns.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <new>

#include "arrays.hpp"
#include "arrow.hpp"
#include "boundary.hpp"
#include "convert.hpp"
#include "heap_object.hpp"

namespace karvel::python::morvane {
namespace {

constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();

// A column of optional values: NaN in the values where absent, and a
// validity bitmap (bit set: present) for Arrow, which reads them as nulls.
struct OptionalColumn {
  std::vector<double> values;
  std::vector<std::uint8_t> validity;
  std::size_t nulls = 0;

  void push(std::optional<double> value) {
    const std::size_t row = values.size();
    if (row % 8 == 0) validity.push_back(0);
    if (value) {
      validity[row / 8] |= static_cast<std::uint8_t>(1u << (row % 8));
    } else {
      ++nulls;
    }
    values.push_back(value.value_or(kAbsent));
  }
};

struct ScanColumnsData {
  std::vector<std::uint32_t> index, scan_id, points;
  std::vector<std::uint8_t> ms_level;
  std::vector<double> rt;
  OptionalColumn tic, base_peak_mz, base_peak_intensity, precursor_mz, collision_energy;
  std::vector<std::int8_t> polarity;
};

std::shared_ptr<const ScanColumnsData> build(const reader::Reader& reader) {
  auto data = std::make_shared<ScanColumnsData>();
  const auto& records = reader.scan().records;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& r = records[i];
    const reader::ScanRow row(r);
    data->index.push_back(static_cast<std::uint32_t>(i));
    data->scan_id.push_back(row.scan_id());
    data->ms_level.push_back(static_cast<std::uint8_t>(std::min<std::uint32_t>(row.ms_level(), 255)));
    data->rt.push_back(row.rt_sec());
    data->polarity.push_back(row.polarity_sign());
    data->tic.push(r.tic);
    data->base_peak_mz.push(r.base_peak_mz);
    data->base_peak_intensity.push(r.base_peak_intensity);
    data->precursor_mz.push(row.precursor_mz());
    data->collision_energy.push(row.collision_energy());
    data->points.push_back(row.point_count(reader::BlockChoice::Auto));
  }
  return data;
}

// Name, Arrow format, and the member of ScanColumnsData, in column order;
// optional columns also give their validity bitmap and null count.
struct ColumnDef {
  const char* name;
  const char* format;
  Dtype dtype;
  const void* (*data)(const ScanColumnsData&);
  const OptionalColumn* (*optional)(const ScanColumnsData&) = nullptr;
};

template <auto Member>
const void* member_data(const ScanColumnsData& d) {
  return (d.*Member).data();
}

template <auto Member>
const void* optional_data(const ScanColumnsData& d) {
  return (d.*Member).values.data();
}

template <auto Member>
const OptionalColumn* optional_of(const ScanColumnsData& d) {
  return &(d.*Member);
}

template <auto Member>
constexpr ColumnDef optional_column(const char* name) {
  return {name, "g", Dtype::Float64, optional_data<Member>, optional_of<Member>};
}

const ColumnDef kColumns[] = {
    {"index", "I", Dtype::UInt32, member_data<&ScanColumnsData::index>},
    {"scan_id", "I", Dtype::UInt32, member_data<&ScanColumnsData::scan_id>},
    {"ms_level", "C", Dtype::UInt8, member_data<&ScanColumnsData::ms_level>},
    {"rt", "g", Dtype::Float64, member_data<&ScanColumnsData::rt>},
    {"polarity", "c", Dtype::Int8, member_data<&ScanColumnsData::polarity>},
    optional_column<&ScanColumnsData::tic>("tic"),
    optional_column<&ScanColumnsData::base_peak_mz>("base_peak_mz"),
    optional_column<&ScanColumnsData::base_peak_intensity>("base_peak_intensity"),
    optional_column<&ScanColumnsData::precursor_mz>("precursor_mz"),
    optional_column<&ScanColumnsData::collision_energy>("collision_energy"),
    {"points", "I", Dtype::UInt32, member_data<&ScanColumnsData::points>},
};

// The whole table as one batch.
class ScanTableSource final : public BatchSource {
 public:
  explicit ScanTableSource(std::shared_ptr<const ScanColumnsData> data) : data_(std::move(data)) {
    for (const auto& column : kColumns) {
      fields_.push_back(Field{column.name, column.format, column.optional != nullptr});
    }
  }
  const std::vector<Field>& fields() const override { return fields_; }
  Result<std::optional<Batch>> next() override {
    if (done_) return std::optional<Batch>();
    done_ = true;
    Batch batch;
    batch.length = static_cast<std::int64_t>(data_->index.size());
    for (const auto& column : kColumns) {
      Column values{data_, column.data(*data_)};
      if (column.optional != nullptr) {
        const OptionalColumn& optional = *column.optional(*data_);
        if (optional.nulls > 0) {
          values.validity = optional.validity.data();
          values.null_count = static_cast<std::int64_t>(optional.nulls);
        }
      }
      batch.columns.push_back(std::move(values));
    }
    return std::optional<Batch>(std::move(batch));
  }

 private:
  std::shared_ptr<const ScanColumnsData> data_;
  std::vector<Field> fields_;
  bool done_ = false;
};

struct ScanColumnsObject {
  PyObject_HEAD
  std::shared_ptr<const ScanColumnsData> data;
};

ScanColumnsObject* object_of(PyObject* self) { return reinterpret_cast<ScanColumnsObject*>(self); }

void destroy_scan_columns(ScanColumnsObject& object) noexcept { object.data.~shared_ptr(); }

Py_ssize_t scan_columns_len(PyObject* self) noexcept {
  return static_cast<Py_ssize_t>(object_of(self)->data->index.size());
}

// {name: read-only numpy array}, in column order.
PyObject* scan_columns_arrays(PyObject* self, PyObject*) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState* state = state_of_type<ModuleState>(Py_TYPE(self));
    const auto& data = object_of(self)->data;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (const auto& column : kColumns) {
      if (!put(dict.get(), column.name,
               new_array(state, data, column.data(*data), data->index.size(), column.dtype))) {
        return nullptr;
      }
    }
    return dict.release();
  });
}

PyObject* scan_columns_arrow(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  return arrow_stream_method(args, kwargs, [&]() -> std::unique_ptr<BatchSource> {
    return std::make_unique<ScanTableSource>(object_of(self)->data);
  });
}

PyMethodDef scan_columns_methods[] = {
    {"arrays", scan_columns_arrays, METH_NOARGS, "arrays($self)\n--\n\nThe columns as numpy arrays."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(scan_columns_arrow)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\nThe table as an Arrow C stream."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot scan_columns_slots[] = {
    {Py_tp_doc, const_cast<char*>("The scan table as columns.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(heap_dealloc<ScanColumnsObject, destroy_scan_columns>)},
    {Py_tp_methods, scan_columns_methods},
    {Py_sq_length, reinterpret_cast<void*>(scan_columns_len)},
    {0, nullptr},
};

PyType_Spec scan_columns_type_spec = {
    "morvane._native.ScanColumns",
    sizeof(ScanColumnsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    scan_columns_slots,
};

}  // namespace

PyType_Spec* scan_columns_spec() { return &scan_columns_type_spec; }

Ref new_scan_columns(ModuleState* state, const reader::Reader& reader) {
  auto data = build(reader);
  PyTypeObject* type = state->scan_columns;
  Ref self(type->tp_alloc(type, 0));
  if (!self) return Ref();
  new (&object_of(self.get())->data) std::shared_ptr<const ScanColumnsData>(std::move(data));
  return self;
}

}  // namespace karvel::python::morvane
