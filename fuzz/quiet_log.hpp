// Turns every log level on with a sink that drops the records, so that the
// message builders run (and are checked) without filling the fuzzer's output.
#pragma once

#include "support/log.hpp"

namespace karvel::fuzz {

inline void enable_silent_logging() {
  static const bool done = [] {
    log::set_sink([](log::Level, std::string_view, std::string_view) {});
    log::set_max_level(log::Level::Trace);
    return true;
  }();
  (void)done;
}

}  // namespace karvel::fuzz
