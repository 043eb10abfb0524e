// Messages of the reader core: exact texts, levels and targets, the
// warning-once-then-debug rule and the summaries.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <thread>
#include <utility>

#include "log_capture.hpp"
#include "reader/calibration_selection.hpp"
#include "reader/reader.hpp"
#include "reader_test_folder.hpp"
#include "scan_table_builder.hpp"

namespace karvel::reader {
namespace {

using karvel::testing::LogCapture;
using karvel::testing::LogRecord;
using karvel::testing::ScanTableBuilder;
using karvel::testing::TestFolder;
using log::Level;

constexpr std::string_view kReader = "karvel::reader";

LogRecord warn(std::string message) { return {Level::Warn, std::string(kReader), std::move(message)}; }
LogRecord debug(std::string message) { return {Level::Debug, std::string(kReader), std::move(message)}; }
LogRecord info(std::string message) { return {Level::Info, std::string(kReader), std::move(message)}; }

std::string default_mass_cal(int id) {
  return "<DefaultMassCal><DefaultCalibration DefaultCalibrationID=\"" + std::to_string(id) +
         "\">"
         "<Step><CalibrationFormula>Traditional</CalibrationFormula><ValueUseFlags>3</ValueUseFlags>"
         "<NumberOfCoefficients>2</NumberOfCoefficients><Values>"
         "<Value Number=\"1\">0.00015</Value><Value Number=\"2\">0.1</Value></Values></Step>"
         "<Step><CalibrationFormula>Polynomial</CalibrationFormula><ValueUseFlags>2</ValueUseFlags>"
         "<NumberOfCoefficients>8</NumberOfCoefficients><Values>"
         "<Value Number=\"1\">1000</Value><Value Number=\"2\">60000</Value>"
         "<Value Number=\"3\">0.001</Value><Value Number=\"4\">0</Value><Value Number=\"5\">0</Value>"
         "<Value Number=\"6\">0</Value><Value Number=\"7\">0</Value><Value Number=\"8\">0</Value>"
         "</Values></Step></DefaultCalibration></DefaultMassCal>";
}

std::vector<std::uint8_t> mass_cal(const std::vector<std::vector<double>>& records) {
  std::vector<std::uint8_t> bytes(72 + 84 * records.size(), 0);
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto count = static_cast<std::uint32_t>(records[i].size());
    std::memcpy(bytes.data() + 72 + 84 * i, &count, 4);
    std::memcpy(bytes.data() + 72 + 84 * i + 4, records[i].data(), 8 * records[i].size());
  }
  return bytes;
}

std::vector<LogRecord> open_and_capture(const TestFolder& folder) {
  LogCapture capture;
  auto reader = Reader::open(folder.path());
  EXPECT_TRUE(reader) << reader.error().display();
  return capture.records();
}

TEST(CalibrationMessages, NeitherFileGivesOneWarningPerKindAndASummary) {
  TestFolder folder("tof.d");
  ScanTableBuilder table(220, 3);
  table.record<std::int32_t>(0, 52, 3);
  folder.write("MSScan.bin", table.bytes());
  EXPECT_EQ(open_and_capture(folder),
            (std::vector<LogRecord>{
                warn("tof.d: DefaultMassCal.xml not found"),
                warn("tof.d: scan index 0: no calibration: parse error: no DefaultMassCal.xml "
                     "entry for CalibrationID Some(3)"),
                debug("tof.d: scan index 1: no calibration: parse error: no DefaultMassCal.xml "
                      "entry for CalibrationID Some(0)"),
                debug("tof.d: scan index 2: no calibration: parse error: no DefaultMassCal.xml "
                      "entry for CalibrationID Some(0)"),
                warn("tof.d: 3 scans have no usable mass calibration"),
            }));
}

TEST(CalibrationMessages, TripleQuadrupoleTablesReadNothing) {
  TestFolder folder;
  folder.write("MSScan.bin", ScanTableBuilder(196, 2).bytes());
  folder.write("DefaultMassCal.xml", "<broken");
  EXPECT_TRUE(open_and_capture(folder).empty());
}

TEST(CalibrationMessages, RecordCountMismatchUsesDefaults) {
  TestFolder folder("m.d");
  folder.write("MSScan.bin", ScanTableBuilder(216, 3).bytes());
  folder.write("DefaultMassCal.xml", default_mass_cal(0));
  folder.write("MSMassCal.bin", mass_cal({{1, 2}, {1, 2}}));
  LogCapture capture;
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{warn("m.d: MSMassCal.bin has 2 records but MSScan.bin has 3 "
                                         "scans; using DefaultMassCal.xml")}));
  for (const auto& calibration : (*reader)->calibrations()) {
    ASSERT_TRUE(calibration);
    EXPECT_TRUE(calibration->from_default);
    EXPECT_EQ(calibration->polynomial.terms.size(), 1u);
  }
}

TEST(CalibrationMessages, MissingRecordsFileIsInfoOnlyWithDefaults) {
  TestFolder folder("i.d");
  folder.write("MSScan.bin", ScanTableBuilder(220, 1).bytes());
  folder.write("DefaultMassCal.xml", default_mass_cal(0));
  EXPECT_EQ(open_and_capture(folder),
            (std::vector<LogRecord>{info("i.d: MSMassCal.bin not found; using DefaultMassCal.xml")}));
}

TEST(CalibrationMessages, UnusableRecordsFallBackAndAreSummarised) {
  TestFolder folder("f.d");
  folder.write("MSScan.bin", ScanTableBuilder(220, 3).bytes());
  folder.write("DefaultMassCal.xml", default_mass_cal(0));
  const std::vector<double> own{2e-4, 0.2, 1000, 60000, 0, 0, 0, 0, 0, 0};
  const std::vector<double> nine{2e-4, 0.2, 1000, 60000, 0.5, 0, 0, 0, 0};
  const std::vector<double> unmatched{2e-4, 0.2, 1000, 60000, 0.5, 0, 0, 0, 0, 0};
  folder.write("MSMassCal.bin", mass_cal({own, nine, unmatched}));
  LogCapture capture;
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  const std::string unknown =
      "parse error: MSMassCal.bin Polynomial values match no DefaultMassCal.xml entry, so their "
      "ValueUseFlags are unknown; using DefaultMassCal.xml";
  EXPECT_EQ(capture.records(),
            (std::vector<LogRecord>{warn("f.d: scan index 1: " + unknown),
                                    debug("f.d: scan index 2: " + unknown),
                                    warn("f.d: 2 scans fell back to DefaultMassCal.xml")}));
  const auto& calibrations = (*reader)->calibrations();
  EXPECT_FALSE(calibrations[0]->from_default);
  EXPECT_EQ(calibrations[0]->a, 2e-4);
  EXPECT_TRUE(calibrations[1]->from_default);
  EXPECT_TRUE(calibrations[2]->from_default);
}

TEST(CalibrationMessages, BrokenFilesAreWarnings) {
  TestFolder folder("b.d");
  folder.write("MSScan.bin", ScanTableBuilder(220, 1).bytes());
  folder.write("DefaultMassCal.xml", "<DefaultMassCal/>");
  folder.write("MSMassCal.bin", std::vector<std::uint8_t>(100, 0));
  const auto records = open_and_capture(folder);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0], warn("b.d: parse error: DefaultMassCal.xml: no DefaultCalibration entries"));
  EXPECT_EQ(records[1], warn("b.d: MSMassCal.bin: parse error: MSMassCal.bin payload of 28 bytes "
                             "is not a multiple of the 84-byte record; using DefaultMassCal.xml"));
}

// The per-scan text is built only for a message whose level is enabled; the
// count grows either way.
TEST(CalibrationMessages, ScanProblemTextBuiltOnlyWhenLogged) {
  const struct {
    Level max_level;
    int built;
  } cases[] = {{Level::Off, 0}, {Level::Error, 0}, {Level::Warn, 1}, {Level::Debug, 3}};
  for (const auto& c : cases) {
    LogCapture capture(c.max_level);
    std::uint64_t count = 0;
    int built = 0;
    for (std::uint64_t scan = 0; scan < 3; ++scan) {
      log_scan_problem(count, "r.d", scan, [&] {
        ++built;
        return std::string("bad");
      });
    }
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(built, c.built) << static_cast<int>(c.max_level);
    EXPECT_EQ(capture.records().size(), static_cast<std::size_t>(c.built));
  }
}

TEST(DecodeFailureMessages, OneWarningPerBlockKindThenDebug) {
  TestFolder folder("q.d");
  ScanTableBuilder table(196, 3);
  for (std::size_t i = 0; i < 2; ++i) table.record<std::uint32_t>(i, 144, 1);
  table.record<std::uint32_t>(2, 144, 3).record<std::uint32_t>(2, 160, 1);
  folder.write("MSScan.bin", table.bytes());
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  LogCapture capture;
  auto spectra = (*reader)->iter_spectra();
  while (spectra->next()) {
  }
  const std::string none = "profile block has no mass calibration";
  const auto records = capture.records();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], warn("q.d: profile block for scanId=100 failed to decode: parse error: " +
                             none + " (further profile failures in this bundle are logged at "
                                    "debug level)"));
  EXPECT_EQ(records[1],
            debug("q.d: profile block for scanId=101 failed to decode: parse error: " + none));
  EXPECT_EQ(records[2].level, Level::Warn);
  EXPECT_TRUE(records[2].message.starts_with("q.d: centroid block for scanId=102 failed to decode: "
                                             "I/O error: No such file or directory"))
      << records[2].message;
}

TEST(DecodeFailureMessages, CountedEvenWhenLoggingIsOff) {
  TestFolder folder;
  ScanTableBuilder table(196, 2);
  table.record<std::uint32_t>(0, 144, 1).record<std::uint32_t>(1, 144, 1);
  folder.write("MSScan.bin", table.bytes());
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  LogCapture capture(Level::Off);
  auto spectra = (*reader)->iter_spectra();
  while (spectra->next()) {
  }
  EXPECT_TRUE(capture.records().empty());
  EXPECT_EQ((*reader)->decode_failures(BlockKind::Profile), 2u);
  EXPECT_EQ((*reader)->decode_failures(BlockKind::Centroid), 0u);
}

TEST(PolarityMessages, UnknownCodesCountedInNumericOrder) {
  TestFolder folder("p.d");
  ScanTableBuilder table(196, 5);
  const std::int32_t codes[] = {0, 1, 3, 3, -2};
  for (std::size_t i = 0; i < 5; ++i) table.record<std::int32_t>(i, 64, codes[i]);
  folder.write("MSScan.bin", table.bytes());
  EXPECT_EQ(open_and_capture(folder),
            (std::vector<LogRecord>{warn("p.d: unrecognized IonPolarity values (value: scans) "
                                         "{-2: 1, 3: 2}; polarity left unset for those scans")}));
}

// A lazily opened reader: opening logs nothing; the first call that needs
// the records or calibrations logs what an eager open logs, in its order,
// and builds the same calibrations; later calls log nothing.
TEST(LazyLoading, FirstUseLogsWhatAnEagerOpenLogs) {
  TestFolder folder("lazy.d");
  ScanTableBuilder table(220, 3);
  table.record<std::int32_t>(1, 64, 7);
  folder.write("MSScan.bin", table.bytes());
  folder.write("DefaultMassCal.xml", default_mass_cal(0));
  const std::vector<double> own{2e-4, 0.2, 1000, 60000, 0, 0, 0, 0, 0, 0};
  const std::vector<double> unmatched{2e-4, 0.2, 1000, 60000, 0.5, 0, 0, 0, 0, 0};
  folder.write("MSMassCal.bin", mass_cal({own, unmatched, own}));

  LogCapture eager_capture;
  auto eager = Reader::open(folder.path());
  ASSERT_TRUE(eager);
  const std::vector<LogRecord> eager_records = eager_capture.records();
  ASSERT_EQ(eager_records.size(), 3u);  // the fallback, its summary, the polarity

  using First = std::function<void(const Reader&)>;
  const std::vector<std::pair<std::string, First>> first_uses{
      {"scan", [](const Reader& r) { (void)r.scan(); }},
      {"calibrations", [](const Reader& r) { (void)r.calibrations(); }},
      {"spectrum", [](const Reader& r) { (void)r.spectrum(2); }},
      {"iter_spectra", [](const Reader& r) { (void)r.iter_spectra()->next(); }},
  };
  for (const auto& [name, first_use] : first_uses) {
    SCOPED_TRACE(name);
    LogCapture capture;
    auto lazy = Reader::open(folder.path(), Loading::Lazy);
    ASSERT_TRUE(lazy);
    EXPECT_EQ((*lazy)->scan_count(), 3u);
    (void)(*lazy)->run_metadata();
    EXPECT_TRUE(capture.records().empty());
    first_use(**lazy);
    EXPECT_EQ(capture.records(), eager_records);
    (void)(*lazy)->scan();
    (void)(*lazy)->calibrations();
    EXPECT_EQ(capture.records().size(), eager_records.size());
    EXPECT_EQ((*lazy)->scan().records, (*eager)->scan().records);
    ASSERT_EQ((*lazy)->calibrations().size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_EQ((*lazy)->calibrations()[i]->from_default, (*eager)->calibrations()[i]->from_default);
      EXPECT_EQ((*lazy)->calibrations()[i]->mz(12345.0), (*eager)->calibrations()[i]->mz(12345.0));
    }
  }
}

// Threads that all reach a lazy reader first load it once and agree.
TEST(LazyLoading, ConcurrentFirstUseLoadsOnce) {
  TestFolder folder("threads.d");
  ScanTableBuilder table(220, 64);
  for (std::size_t i = 0; i < 64; ++i) table.record<std::int32_t>(i, 64, i % 5 == 0 ? 9 : 0);
  folder.write("MSScan.bin", table.bytes());
  folder.write("DefaultMassCal.xml", default_mass_cal(0));
  for (int round = 0; round < 20; ++round) {
    LogCapture capture;
    auto lazy = Reader::open(folder.path(), Loading::Lazy);
    ASSERT_TRUE(lazy);
    std::vector<std::thread> threads;
    std::array<std::size_t, 4> seen{};
    for (std::size_t t = 0; t < seen.size(); ++t) {
      threads.emplace_back([&, t] {
        for (std::size_t i = t; i < 64; i += seen.size()) {
          if ((*lazy)->spectrum(i)) ++seen[t];
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(seen, (std::array<std::size_t, 4>{16, 16, 16, 16}));
    EXPECT_EQ(capture.records(),
              (std::vector<LogRecord>{
                  info("threads.d: MSMassCal.bin not found; using DefaultMassCal.xml"),
                  warn("threads.d: unrecognized IonPolarity values (value: scans) {9: 13}; "
                       "polarity left unset for those scans")}));
  }
}

}  // namespace
}  // namespace karvel::reader
