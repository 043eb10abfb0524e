// A run's integrity events: the problems a reader meets and works around
// (a scan falling back to the default calibration, a block that cannot be
// decoded, a side file it cannot read, ...). Each kind keeps a count and
// the text of its first occurrence, so that a caller can say in one line
// per kind what happened to a run, record it in its outputs, or refuse the
// run. Recording is thread-safe: spectra fail on worker threads.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace karvel::reader {

enum class IntegrityKind : int {
  // Scans whose own MSMassCal.bin calibration could not be used: their m/z
  // come from DefaultMassCal.xml.
  CalibrationFallback = 0,
  // Scans left without any usable calibration (their profiles fail).
  NoCalibration,
  // MSMassCal.bin and MSScan.bin disagree on the number of scans.
  CalibrationMismatch,
  // MSMassCal.bin has more records than MSScan.bin: scan records are
  // missing from the end of the scan table.
  ScanTableShort,
  // Spectra whose block could not be decoded (counted once per scan).
  UndecodableSpectrum,
  // A side file that exists but cannot be read or parsed.
  UnreadableSideFile,
  // Values the reader does not recognise and leaves unset.
  UnrecognisedValue,
};

inline constexpr std::size_t kIntegrityKindCount = 7;

// The stable name of a kind, as outputs record it ("calibration_fallback").
std::string_view integrity_kind_name(IntegrityKind kind) noexcept;
// What a kind means, for a one-line report ("scans fell back to the
// default calibration").
std::string_view integrity_kind_summary(IntegrityKind kind) noexcept;

struct IntegrityEvent {
  IntegrityKind kind;
  std::uint64_t count;
  std::string first;  // the text of the first occurrence
};

class IntegrityLog {
 public:
  // Adds count occurrences of kind; example is kept when it is the first.
  void record(IntegrityKind kind, std::uint64_t count, std::string_view example);
  // One occurrence for the scan at position `scan`; a scan met again (a
  // spectrum decoded twice) is not counted twice.
  void record_scan(IntegrityKind kind, std::uint64_t scan, std::string_view example);
  // The kinds met so far, in kind order.
  std::vector<IntegrityEvent> events() const;
  // Bit k set when kind k has been met: cheap to poll.
  std::uint32_t kinds() const noexcept { return kinds_.load(std::memory_order_acquire); }

 private:
  mutable std::mutex mutex_;
  std::array<std::uint64_t, kIntegrityKindCount> counts_{};
  std::array<std::string, kIntegrityKindCount> first_{};
  std::array<std::set<std::uint64_t>, kIntegrityKindCount> scans_{};
  std::atomic<std::uint32_t> kinds_ = 0;
};

}  // namespace karvel::reader
