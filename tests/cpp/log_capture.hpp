// Collects log records while a test runs.
//
//   LogCapture capture;                    // sink installed, level Trace
//   ... code that logs ...
//   EXPECT_EQ(capture.messages(), ...);    // or capture.records()
//
// The destructor removes the sink and turns logging off again. One capture
// at a time: the facade's sink is a plain function, so records go to the
// capture that is currently installed.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/log.hpp"

namespace karvel::testing {

struct LogRecord {
  log::Level level;
  std::string target;
  std::string message;

  friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

class LogCapture {
 public:
  explicit LogCapture(log::Level max_level = log::Level::Trace) {
    std::lock_guard lock(mutex());
    active() = this;
    log::set_sink(&LogCapture::record);
    log::set_max_level(max_level);
  }
  ~LogCapture() {
    log::set_max_level(log::Level::Off);
    log::set_sink(nullptr);
    std::lock_guard lock(mutex());
    active() = nullptr;
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogRecord> records() const {
    std::lock_guard lock(mutex());
    return records_;
  }

  // The messages alone, in the order they were logged.
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex());
    std::vector<std::string> out;
    for (const LogRecord& r : records_) out.push_back(r.message);
    return out;
  }

  void clear() {
    std::lock_guard lock(mutex());
    records_.clear();
  }

 private:
  static std::mutex& mutex() {
    static std::mutex instance;
    return instance;
  }
  static LogCapture*& active() {
    static LogCapture* instance = nullptr;
    return instance;
  }
  static void record(log::Level level, std::string_view target, std::string_view message) {
    std::lock_guard lock(mutex());
    if (LogCapture* capture = active()) {
      capture->records_.push_back({level, std::string(target), std::string(message)});
    }
  }

  std::vector<LogRecord> records_;
};

}  // namespace karvel::testing
