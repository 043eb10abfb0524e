// Logging facade: a level and a target per message, one global maximum level
// (off unless a host raises it) read before any message is formatted, and a
// sink that a host may install. The library itself installs no sink.
//
//   log::emit(log::Level::Warn, log::kReaderTarget,
//             [&] { return str_cat(bundle, ": …"); });
//
// The message builder runs only when the level is enabled.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace karvel::log {

enum class Level : int { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

inline constexpr std::string_view kReaderTarget = "karvel::reader";
inline constexpr std::string_view kMetadataTarget = "karvel::raw::metadata";

using Sink = void (*)(Level level, std::string_view target, std::string_view message);

namespace detail {
extern std::atomic<int> max_level;
void write(Level level, std::string_view target, std::string_view message);
}  // namespace detail

void set_max_level(Level level) noexcept;
Level max_level() noexcept;
// Installs the sink (nullptr removes it). Records are dropped while none is
// installed, even when the level admits them.
void set_sink(Sink sink) noexcept;

std::string_view level_name(Level level) noexcept;

inline bool enabled(Level level) noexcept {
  return static_cast<int>(level) <= detail::max_level.load(std::memory_order_relaxed);
}

template <class MakeMessage>
void emit(Level level, std::string_view target, MakeMessage&& make_message) {
  if (!enabled(level)) return;
  const std::string message = make_message();
  detail::write(level, target, message);
}

}  // namespace karvel::log
