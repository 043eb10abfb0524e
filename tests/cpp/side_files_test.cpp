// Reading Devices.xml and Contents.xml when a folder is opened: missing files
// are silent, unreadable ones warn, and paths in the warnings are readable
// text whatever bytes the folder's name holds.
#include "reader/side_files.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log_capture.hpp"
#include "reader/reader.hpp"
#include "reader_test_folder.hpp"
#include "scan_table_builder.hpp"

namespace karvel::reader {
namespace {

using karvel::testing::LogCapture;
using karvel::testing::LogRecord;
using karvel::testing::ScanTableBuilder;
using karvel::testing::TestFolder;

constexpr std::string_view kDevices =
    "<Devices><Device><Name>QTOF</Name><ModelNumber>G6530B</ModelNumber></Device></Devices>";
constexpr std::string_view kContents = "<Contents><AcquiredTime>t</AcquiredTime></Contents>";

TEST(SideFiles, MissingFilesAreSilent) {
  TestFolder folder;
  LogCapture log;
  EXPECT_EQ(read_device_info(folder.acq().string()), std::nullopt);
  EXPECT_EQ(read_acquired_time(folder.acq().string()), std::nullopt);
  EXPECT_EQ(read_optional_file((folder.acq() / "Missing.xml").string()), std::nullopt);
  EXPECT_TRUE(log.records().empty());
}

TEST(SideFiles, OpeningReadsBoth) {
  TestFolder folder;
  folder.write("MSScan.bin", ScanTableBuilder(196, 1).bytes());
  folder.write("Devices.xml", kDevices);
  folder.write("Contents.xml", kContents);
  LogCapture log;
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader) << reader.error().display();
  EXPECT_EQ((*reader)->device(), (DeviceInfo{"QTOF", "G6530B"}));
  EXPECT_EQ((*reader)->acquired_time(), "t");
  EXPECT_TRUE(log.records().empty());
}

// The folder name holds a byte that is never UTF-8 and a truncated sequence;
// each shows as one U+FFFD.
TEST(SideFiles, PathsInWarningsShowInvalidBytesAsReplacementCharacters) {
  TestFolder folder("r\xFF\xE2\x82.d");
  const std::string shown =
      folder.path().substr(0, folder.path().size() - 6) + "r\uFFFD\uFFFD.d/AcqData/";
  folder.write("MSScan.bin", ScanTableBuilder(196, 1).bytes());
  struct Case {
    std::string_view devices;  // empty: Devices.xml is a directory
    std::string_view contents;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {"<Devices>", kContents, {shown + "Devices.xml: XML parse failed: no element found at 1:10"}},
      {kDevices, "<Contents>\xFF</Contents>",
       {shown + "Contents.xml: read failed: stream did not contain valid UTF-8"}},
      {"", kContents, {shown + "Devices.xml: read failed: Is a directory (os error 21)"}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(folder.acq() / "Devices.xml");
    if (c.devices.empty()) {
      std::filesystem::create_directory(folder.acq() / "Devices.xml");
    } else {
      folder.write("Devices.xml", c.devices);
    }
    folder.write("Contents.xml", c.contents);
    LogCapture log;
    auto reader = Reader::open(folder.path());
    ASSERT_TRUE(reader) << reader.error().display();
    std::vector<LogRecord> expected;
    for (const std::string& warning : c.warnings) {
      expected.push_back({log::Level::Warn, "karvel::raw::metadata", warning});
    }
    EXPECT_EQ(log.records(), expected);
  }
}

}  // namespace
}  // namespace karvel::reader
