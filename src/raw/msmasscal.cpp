#include "raw/msmasscal.hpp"

#include "support/bytes.hpp"
#include "support/format.hpp"

namespace karvel::raw::msmasscal {

Result<std::vector<MassCalRecord>> parse_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) {
    return parse_error(str_cat("MSMassCal.bin is ", bytes.size(), " bytes, shorter than its ",
                               kHeaderSize, "-byte header"));
  }
  const std::size_t payload = bytes.size() - kHeaderSize;
  if (payload % kRecordSize != 0) {
    return parse_error(str_cat("MSMassCal.bin payload of ", payload,
                               " bytes is not a multiple of the ", kRecordSize, "-byte record"));
  }
  const std::size_t record_count = payload / kRecordSize;
  std::vector<MassCalRecord> records;
  records.reserve(record_count);
  for (std::size_t i = 0; i < record_count; ++i) {
    // Every record lies wholly inside bytes: the payload is a whole number
    // of records, and 4 + 8 * count <= 84 once the count is checked.
    const std::size_t start = kHeaderSize + i * kRecordSize;
    const std::uint32_t count = load_u32(bytes.data() + start);
    if (count > kMaxCoefficients) {
      return parse_error(str_cat("MSMassCal.bin record ", i, " claims ", count,
                                 " coefficients; at most ", kMaxCoefficients, " fit"));
    }
    MassCalRecord record;
    record.coefficients.resize(count);
    for (std::uint32_t j = 0; j < count; ++j) {
      record.coefficients[j] = load_f64(bytes.data() + start + 4 + 8 * std::size_t{j});
    }
    records.push_back(std::move(record));
  }
  return records;
}

}  // namespace karvel::raw::msmasscal
