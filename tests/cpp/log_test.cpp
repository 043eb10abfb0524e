#include "support/log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace karvel::log {
namespace {

std::vector<std::string> captured;

void capture(Level level, std::string_view target, std::string_view message) {
  captured.push_back(std::string(level_name(level)) + " " + std::string(target) + " " +
                     std::string(message));
}

class LogFacade : public ::testing::Test {
 protected:
  void SetUp() override {
    captured.clear();
    set_max_level(Level::Off);
  }
  void TearDown() override {
    set_sink(nullptr);
    set_max_level(Level::Off);
  }
};

TEST_F(LogFacade, OffFormatsNothing) {
  set_sink(capture);
  bool formatted = false;
  emit(Level::Error, kReaderTarget, [&] {
    formatted = true;
    return std::string("x");
  });
  EXPECT_FALSE(formatted);
  EXPECT_TRUE(captured.empty());
}

TEST_F(LogFacade, MaximumLevelFiltersBeforeFormatting) {
  set_sink(capture);
  set_max_level(Level::Warn);
  int formatted = 0;
  emit(Level::Warn, kReaderTarget, [&] { ++formatted; return std::string("kept"); });
  emit(Level::Info, kReaderTarget, [&] { ++formatted; return std::string("dropped"); });
  emit(Level::Error, kMetadataTarget, [&] { ++formatted; return std::string("also kept"); });
  EXPECT_EQ(formatted, 2);
  EXPECT_EQ(captured, (std::vector<std::string>{"WARN karvel::reader kept",
                                                "ERROR karvel::raw::metadata also kept"}));
  EXPECT_TRUE(enabled(Level::Warn));
  EXPECT_FALSE(enabled(Level::Debug));
}

TEST_F(LogFacade, WithoutSinkRecordsAreDropped) {
  set_max_level(Level::Trace);
  emit(Level::Trace, kReaderTarget, [] { return std::string("nowhere"); });
  EXPECT_TRUE(captured.empty());
}

}  // namespace
}  // namespace karvel::log
