#include "support/log.hpp"

namespace karvel::log {
namespace {
std::atomic<Sink> installed_sink{nullptr};
}  // namespace

namespace detail {

std::atomic<int> max_level{static_cast<int>(Level::Off)};

void write(Level level, std::string_view target, std::string_view message) {
  if (Sink sink = installed_sink.load(std::memory_order_acquire)) sink(level, target, message);
}

}  // namespace detail

void set_max_level(Level level) noexcept {
  detail::max_level.store(static_cast<int>(level), std::memory_order_relaxed);
}

Level max_level() noexcept {
  return static_cast<Level>(detail::max_level.load(std::memory_order_relaxed));
}

void set_sink(Sink sink) noexcept { installed_sink.store(sink, std::memory_order_release); }

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Off: return "OFF";
    case Level::Error: return "ERROR";
    case Level::Warn: return "WARN";
    case Level::Info: return "INFO";
    case Level::Debug: return "DEBUG";
    case Level::Trace: return "TRACE";
  }
  return "";
}

}  // namespace karvel::log
