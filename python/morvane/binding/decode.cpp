#include "decode.hpp"

#include "reader/source_error.hpp"

namespace karvel::python::morvane {

Decoded decode_spectrum(const reader::Reader& reader, std::size_t index, BlockChoice choice,
                        raw::Peaks reuse) {
  auto decoded = reader.spectrum(index, choice, std::move(reuse));
  if (!decoded) return std::unexpected(reader::to_core_error(decoded.error()).display());
  return std::move(*decoded);
}

}  // namespace karvel::python::morvane
