#include "decode.hpp"

#include "reader/source_error.hpp"

namespace karvel::python::morvane {

Decoded decode_spectrum(const reader::Reader& reader, std::size_t index, Mode mode, raw::Peaks reuse) {
  const auto& record = reader.scan().records[index];
  auto decoded = [&] {
    if (mode == Mode::Centroid && record.profile_params && record.centroid_params) {
      auto centroid_only = record;
      centroid_only.profile_params.reset();
      return reader.spectrum(index, centroid_only, reader.analyzer(), std::move(reuse));
    }
    return reader.spectrum(index, record, reader.analyzer(), std::move(reuse));
  }();
  if (!decoded) return std::unexpected(reader::to_core_error(decoded.error()).display());
  return std::move(*decoded);
}

}  // namespace karvel::python::morvane
