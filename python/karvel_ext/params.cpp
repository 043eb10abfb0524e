#include "params.hpp"

#include "convert.hpp"

namespace karvel::python {

Ref spectrum_params_dict(const raw::msscan::SpectrumParams& params) {
  Ref dict(PyDict_New());
  if (!dict || !put(dict.get(), "format_id", to_int(std::uint64_t{params.format_id})) ||
      !put(dict.get(), "offset", to_int(params.offset)) ||
      !put(dict.get(), "byte_count", to_int(std::uint64_t{params.byte_count})) ||
      !put(dict.get(), "point_count", to_int(std::uint64_t{params.point_count})) ||
      !put(dict.get(), "uncompressed_byte_count", int_or_none(params.uncompressed_byte_count))) {
    return Ref();
  }
  return dict;
}

Ref spectrum_params_or_none(const std::optional<raw::msscan::SpectrumParams>& params) {
  return params ? spectrum_params_dict(*params) : Ref::borrow(Py_None);
}

}  // namespace karvel::python
