#include "raw/metadata.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "log_capture.hpp"
#include "reader_test_folder.hpp"

namespace karvel::raw::metadata {
namespace {

using karvel::testing::LogCapture;
using karvel::testing::LogRecord;
using karvel::testing::TestFolder;

std::string devices(std::string_view name, std::string_view model) {
  return std::string("<Devices><Device><Name>") + std::string(name) + "</Name><ModelNumber>" +
         std::string(model) + "</ModelNumber></Device></Devices>";
}

class Metadata : public ::testing::Test {
 protected:
  std::string path_of(std::string_view name) const { return (folder_.acq() / name).string(); }
  std::optional<DeviceInfo> device_from(std::string_view content) {
    folder_.write("Devices.xml", content);
    return parse_devices_xml(path_of("Devices.xml"));
  }
  std::optional<std::string> time_from(std::string_view content) {
    folder_.write("Contents.xml", content);
    return parse_acquired_time(path_of("Contents.xml"));
  }

  TestFolder folder_;
  LogCapture log_;
};

TEST_F(Metadata, MissingFilesAreSilent) {
  EXPECT_EQ(parse_devices_xml(path_of("Devices.xml")), std::nullopt);
  EXPECT_EQ(parse_acquired_time(path_of("Contents.xml")), std::nullopt);
  EXPECT_EQ(read_optional_xml(path_of("Missing.xml")), std::nullopt);
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(Metadata, DeviceNameAndModel) {
  EXPECT_EQ(device_from(devices(" \n\tG6230B TOF\r\n ", "G6230B")),
            (DeviceInfo{"G6230B TOF", "G6230B"}));
  EXPECT_EQ(device_from("\xEF\xBB\xBF<d:Root xmlns:d=\"urn:d\"><a><b><d:Device><d:ModelNumber>M"
                        "</d:ModelNumber><d:Name><![CDATA[N]]></d:Name></d:Device></b></a>"
                        "</d:Root>"),
            (DeviceInfo{"N", "M"}));
  // Only the first Device counts, even when a later one is complete.
  EXPECT_EQ(device_from("<r><Device><Name/><ModelNumber>M</ModelNumber></Device>" +
                        devices("N", "M") + "</r>"),
            std::nullopt);
  EXPECT_EQ(device_from(devices("  ", "M")), std::nullopt);
  EXPECT_EQ(device_from(devices("N", "")), std::nullopt);
  EXPECT_EQ(device_from("<Device><Name>N</Name></Device>"), std::nullopt);
  // The first Name child decides; a later one is not tried.
  EXPECT_EQ(device_from("<Device><Name><x/>A</Name><Name>B</Name><ModelNumber>M</ModelNumber>"
                        "</Device>"),
            std::nullopt);
  EXPECT_EQ(device_from("<Devices><Other/></Devices>"), std::nullopt);
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(Metadata, AcquiredTime) {
  EXPECT_EQ(time_from("<?xml version=\"1.0\"?>\n<Contents><AcquiredTime>\n  "
                      "2019-03-04T10:22:13.1234567-05:00 </AcquiredTime></Contents>"),
            "2019-03-04T10:22:13.1234567-05:00");
  EXPECT_EQ(time_from("<c:Contents xmlns:c=\"u\"><c:AcquiredTime>t</c:AcquiredTime></c:Contents>"),
            "t");
  EXPECT_EQ(time_from("<Contents><Run><AcquiredTime>t</AcquiredTime></Run></Contents>"),
            std::nullopt);
  EXPECT_EQ(time_from("<AcquiredTime>t</AcquiredTime>"), std::nullopt);
  EXPECT_EQ(time_from("<Contents><AcquiredTime> \n </AcquiredTime></Contents>"), std::nullopt);
  EXPECT_EQ(time_from("<Contents><AcquiredTime/><AcquiredTime>t</AcquiredTime></Contents>"),
            std::nullopt);
  EXPECT_TRUE(log_.records().empty());
}

TEST_F(Metadata, UnreadableFilesWarnOnce) {
  const std::string path = path_of("Devices.xml");
  EXPECT_EQ(device_from("<Devices><Device><Name>\xFF</Name></Device></Devices>"), std::nullopt);
  std::filesystem::create_directory(folder_.acq() / "Contents.xml");
  EXPECT_EQ(parse_acquired_time(path_of("Contents.xml")), std::nullopt);
  EXPECT_EQ(log_.records(),
            (std::vector<LogRecord>{
                {log::Level::Warn, "karvel::raw::metadata",
                 path + ": read failed: stream did not contain valid UTF-8"},
                {log::Level::Warn, "karvel::raw::metadata",
                 path_of("Contents.xml") + ": read failed: Is a directory (os error 21)"},
            }));
}

TEST_F(Metadata, MalformedXmlWarns) {
  EXPECT_EQ(device_from("<Devices><Device>"), std::nullopt);
  EXPECT_EQ(time_from("<!DOCTYPE Contents><Contents><AcquiredTime>t</AcquiredTime></Contents>"),
            std::nullopt);
  EXPECT_EQ(time_from("\xEF\xBB\xBF\xEF\xBB\xBF<Contents><AcquiredTime>t</AcquiredTime></Contents>"),
            std::nullopt);
  const auto messages = log_.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0], path_of("Devices.xml") + ": XML parse failed: no element found at 1:18");
  EXPECT_EQ(messages[1], path_of("Contents.xml") +
                             ": XML parse failed: document type declaration is not allowed at 1:1");
  EXPECT_TRUE(messages[2].starts_with(path_of("Contents.xml") + ": XML parse failed: "));
  for (const LogRecord& record : log_.records()) {
    EXPECT_EQ(record.level, log::Level::Warn);
    EXPECT_EQ(record.target, "karvel::raw::metadata");
  }
}

TEST_F(Metadata, WarningsNeedTheirLevel) {
  log::set_max_level(log::Level::Error);
  EXPECT_EQ(device_from("not xml"), std::nullopt);
  EXPECT_EQ(time_from("\xC0\x80"), std::nullopt);
  EXPECT_TRUE(log_.records().empty());
}

}  // namespace
}  // namespace karvel::raw::metadata
