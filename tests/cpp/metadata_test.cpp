#include "raw/metadata.hpp"

#include <gtest/gtest.h>

#include <span>
#include <string>

#include "log_capture.hpp"
#include "support/format.hpp"

namespace karvel::raw::metadata {
namespace {

using karvel::testing::LogCapture;
using karvel::testing::LogRecord;

std::string devices(std::string_view name, std::string_view model) {
  return std::string("<Devices><Device><Name>") + std::string(name) + "</Name><ModelNumber>" +
         std::string(model) + "</ModelNumber></Device></Devices>";
}

constexpr std::string_view kDevicesPath = "/data/run.d/AcqData/Devices.xml";
constexpr std::string_view kContentsPath = "/data/run.d/AcqData/Contents.xml";

std::span<const std::uint8_t> bytes_of(std::string_view content) {
  return {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()};
}

class Metadata : public ::testing::Test {
 protected:
  std::optional<DeviceInfo> device_from(std::string_view content) {
    return parse_devices_xml(kDevicesPath, bytes_of(content));
  }
  std::optional<std::string> time_from(std::string_view content) {
    return parse_acquired_time(kContentsPath, bytes_of(content));
  }

  LogCapture log_;
};

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

TEST_F(Metadata, TextThatIsNotUtf8WarnsOnce) {
  EXPECT_EQ(device_from("<Devices><Device><Name>\xFF</Name></Device></Devices>"), std::nullopt);
  EXPECT_EQ(log_.records(), (std::vector<LogRecord>{
                                {log::Level::Warn, "karvel::raw::metadata",
                                 std::string(kDevicesPath) +
                                     ": read failed: stream did not contain valid UTF-8"},
                            }));
}

TEST_F(Metadata, MalformedXmlWarns) {
  EXPECT_EQ(device_from("<Devices><Device>"), std::nullopt);
  EXPECT_EQ(time_from("<!DOCTYPE Contents><Contents><AcquiredTime>t</AcquiredTime></Contents>"),
            std::nullopt);
  EXPECT_EQ(time_from("\xEF\xBB\xBF\xEF\xBB\xBF<Contents><AcquiredTime>t</AcquiredTime></Contents>"),
            std::nullopt);
  const std::string devices_failed = std::string(kDevicesPath) + ": XML parse failed: ";
  const std::string contents_failed = std::string(kContentsPath) + ": XML parse failed: ";
  EXPECT_EQ(log_.messages(),
            (std::vector<std::string>{
                devices_failed + "no element found at 1:18",
                contents_failed + "document type declaration is not allowed at 1:1",
                contents_failed + "not well-formed (invalid token) at 1:2",
            }));
  for (const LogRecord& record : log_.records()) {
    EXPECT_EQ(record.level, log::Level::Warn);
    EXPECT_EQ(record.target, "karvel::raw::metadata");
  }
}

// Documents whose device and time would be found, were they well-formed.
TEST_F(Metadata, DocumentsThatAreNotWellFormedGiveNothing) {
  const std::string_view faults[][2] = {
      {"<?xml standalone=\"yes\"?>", ""},
      {"<?xml version=\"1.0\" standalone=\"maybe\"?>", ""},
      {"<?XML version=\"1.0\"?>", ""},
      {"", "<Note>]]></Note>"},
      {"", "<!-- a -- b -->"},
      {"", "<Note>\xEF\xBF\xBF</Note>"},
      {"", "<p:Note/>"},
      {"", "<a:b:Note xmlns:a=\"urn:a\"/>"},
  };
  for (const auto& [prolog, inside] : faults) {
    SCOPED_TRACE(std::string(prolog) + std::string(inside));
    EXPECT_EQ(device_from(str_cat(prolog, "<Devices><Device><Name>N</Name><ModelNumber>M"
                                          "</ModelNumber></Device>",
                                  inside, "</Devices>")),
              std::nullopt);
    EXPECT_EQ(time_from(str_cat(prolog, "<Contents><AcquiredTime>t</AcquiredTime>", inside,
                                "</Contents>")),
              std::nullopt);
  }
  EXPECT_EQ(log_.records().size(), 2 * std::size(faults));
}

TEST_F(Metadata, WarningsNeedTheirLevel) {
  log::set_max_level(log::Level::Error);
  EXPECT_EQ(device_from("not xml"), std::nullopt);
  EXPECT_EQ(time_from("\xC0\x80"), std::nullopt);
  EXPECT_TRUE(log_.records().empty());
}

}  // namespace
}  // namespace karvel::raw::metadata
