#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "morvane_core/error.hpp"
#include "morvane_core/types.hpp"

namespace morvane_core::types {
namespace {

SpectrumRecord with_points(std::vector<double> mz, std::vector<float> intensity) {
  return with_peaks(SpectrumRecord{}, std::move(mz), std::move(intensity));
}

TEST(EffectiveTic, ReportedValueWinsEvenWithoutPoints) {
  SpectrumRecord record = with_points({100, 200}, {1, 2});
  record.total_ion_current = 50.0;
  EXPECT_EQ(effective_tic(record), 50.0);
  SpectrumRecord empty;
  empty.total_ion_current = 7.0;
  EXPECT_EQ(effective_tic(empty), 7.0);
}

TEST(EffectiveTic, SumStartsFromNegativeZero) {
  const double sum = effective_tic(SpectrumRecord{});
  EXPECT_EQ(sum, 0.0);
  EXPECT_TRUE(std::signbit(sum));
  EXPECT_EQ(effective_tic(with_points({1, 2, 3}, {1.5f, 2.25f, 0.25f})), 4.0);
}

TEST(EffectiveBasePeak, FirstOfEqualMaxima) {
  const auto peak = effective_base_peak(with_points({100, 200, 300, 400}, {1, 3, 3, 2}));
  ASSERT_TRUE(peak);
  EXPECT_EQ(*peak, std::pair(200.0, 3.0));
}

TEST(EffectiveBasePeak, NaNNeverReplacesTheBest) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  auto first = effective_base_peak(with_points({1, 2, 3}, {nan, 5, 7}));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->first, 1.0);
  EXPECT_TRUE(std::isnan(first->second));
  auto later = effective_base_peak(with_points({1, 2, 3}, {5, nan, 7}));
  EXPECT_EQ(*later, std::pair(3.0, 7.0));
}

TEST(EffectiveBasePeak, ReportedPairOnlyWhenBothPresent) {
  SpectrumRecord record = with_points({100, 200}, {5, 1});
  record.base_peak_mz = 999.0;
  EXPECT_EQ(*effective_base_peak(record), std::pair(100.0, 5.0));
  record.base_peak_intensity = 1.0;
  EXPECT_EQ(*effective_base_peak(record), std::pair(999.0, 1.0));
  EXPECT_FALSE(effective_base_peak(SpectrumRecord{}));
}

TEST(Records, ExtraMapIsReplacedAndOrderedByBytes) {
  SpectrumRecord record;
  record.extra = {{"old", "1"}};
  record = with_extra_map(std::move(record), {{"b", "2"}, {"a", "1"}, {"\xC3\xA9", "3"}, {"Z", "0"}});
  std::vector<std::string> keys;
  for (const auto& [key, value] : record.extra) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"Z", "a", "b", "\xC3\xA9"}));
}

TEST(Records, NewRunMetadataStartsEmpty) {
  const RunMetadata metadata =
      RunMetadata::create("run.d", {"MS:1", "a"}, {"MS:2", "b"}, {"MS:3", "c"}, "karvel", "1.0.0");
  EXPECT_EQ(metadata.source_file_name, "run.d");
  EXPECT_TRUE(metadata.analyzers.empty());
  EXPECT_TRUE(metadata.extra.empty());
  EXPECT_FALSE(metadata.instrument_serial_number);
  EXPECT_FALSE(metadata.start_timestamp);
  EXPECT_FALSE(metadata.mobility_array_kind);
}

TEST(Enums, TextForms) {
  EXPECT_EQ(enums::text(enums::Analyzer::TimeOfFlight), "tofms");
  EXPECT_EQ(enums::text(enums::Analyzer::Sector), "sector");
  EXPECT_EQ(enums::text(enums::Activation::Ethcd), "ethcd");
  EXPECT_EQ(enums::text(enums::Polarity::Negative), "negative");
  EXPECT_EQ(enums::text(enums::MobilityArrayKind::DriftTimeMs), "drift_time_ms");
}

TEST(CoreError, DisplayPrefixes) {
  struct Vendor final : error::VendorError {
    std::string display() const override { return "scanId=3: profile block: parse error: x"; }
  };
  EXPECT_EQ(error::Error::vendor(std::make_shared<Vendor>()).display(),
            "vendor parser error: scanId=3: profile block: parse error: x");
  EXPECT_EQ(error::Error::io({2, "No such file"}).display(), "I/O error: No such file");
  EXPECT_EQ(error::Error::unsupported_format("x").display(), "unsupported or unrecognized format: x");
  EXPECT_EQ(error::Error::conformance("y").display(), "conformance violation: y");
}

}  // namespace
}  // namespace morvane_core::types
