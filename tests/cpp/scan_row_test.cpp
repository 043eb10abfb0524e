#include "reader/scan_row.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace karvel::reader {
namespace {

using morvane_core::enums::Polarity;
using raw::msscan::ScanRecord;
using raw::msscan::SpectrumParams;

constexpr SpectrumParams kProfile{1, 0, 64, 400, 1600};
constexpr SpectrumParams kCentroid{2, 64, 48, 6, std::nullopt};
constexpr SpectrumParams kEmptyProfile{1, 0, 16, 0, 16};

ScanRecord record_with(std::optional<SpectrumParams> profile, std::optional<SpectrumParams> centroid) {
  ScanRecord record;
  record.profile_params = profile;
  record.centroid_params = centroid;
  return record;
}

TEST(ScanRow, RetentionTimeInSeconds) {
  struct Case {
    double minutes;
    double seconds;
  };
  const Case cases[] = {{0.0, 0.0}, {1.5, 90.0}, {0.25, 15.0}, {-2.0, -120.0}, {1e-3, 0.06}};
  for (const Case& c : cases) {
    ScanRecord record;
    record.retention_time_min = c.minutes;
    EXPECT_DOUBLE_EQ(ScanRow(record).rt_sec(), c.seconds) << c.minutes;
  }
  ScanRecord nan_time;
  nan_time.retention_time_min = std::nan("");
  EXPECT_TRUE(std::isnan(ScanRow(nan_time).rt_sec()));
}

TEST(ScanRow, PolarityCodes) {
  struct Case {
    std::int32_t code;
    std::optional<Polarity> polarity;
    std::int8_t sign;
  };
  const Case cases[] = {{0, Polarity::Positive, 1}, {1, Polarity::Negative, -1}, {-1, std::nullopt, 0},
                        {2, std::nullopt, 0},       {5, std::nullopt, 0}};
  for (const Case& c : cases) {
    ScanRecord record;
    record.ion_polarity = c.code;
    const ScanRow row(record);
    EXPECT_EQ(row.polarity(), c.polarity) << c.code;
    EXPECT_EQ(row.polarity_sign(), c.sign) << c.code;
  }
}

TEST(ScanRow, PrecursorByLevelAndChannel) {
  struct Case {
    const char* name;
    std::uint32_t ms_level;
    std::optional<std::uint32_t> mrm_channel;
    bool has_precursor;
    std::optional<double> precursor_mz;
    std::optional<double> collision_energy;
    std::optional<std::string> native_id;
  };
  const Case cases[] = {
      {"MS1 keeps no precursor", 1, std::nullopt, false, std::nullopt, std::nullopt, std::nullopt},
      {"level 0 keeps none", 0, std::nullopt, false, std::nullopt, std::nullopt, std::nullopt},
      {"MS2 with a target", 2, std::nullopt, true, 412.25, 20.0, std::nullopt},
      {"MS3 with a target", 3, std::nullopt, true, 412.25, 20.0, std::nullopt},
      {"MRM names its channel", 2, 7u, true, std::nullopt, 20.0, "mrm_channel=7"},
      {"MS1 in an MRM run", 1, 7u, false, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    ScanRecord record;
    record.ms_level = c.ms_level;
    record.mrm_channel_id = c.mrm_channel;
    record.target_mz = 412.25;
    record.collision_energy = 20.0;
    const ScanRow row(record);
    EXPECT_EQ(row.has_precursor(), c.has_precursor) << c.name;
    EXPECT_EQ(row.precursor_mz(), c.precursor_mz) << c.name;
    EXPECT_EQ(row.collision_energy(), c.collision_energy) << c.name;
    const auto precursor = row.precursor();
    ASSERT_EQ(precursor.has_value(), c.has_precursor) << c.name;
    if (precursor) {
      EXPECT_EQ(precursor->target_mz, c.precursor_mz) << c.name;
      EXPECT_EQ(precursor->collision_energy, c.collision_energy) << c.name;
      EXPECT_EQ(precursor->precursor_native_id, c.native_id) << c.name;
    }
  }
}

TEST(ScanRow, PrecursorValuesMayBeAbsent) {
  ScanRecord record;
  record.ms_level = 2;
  const auto precursor = ScanRow(record).precursor();
  ASSERT_TRUE(precursor);
  EXPECT_FALSE(precursor->target_mz);
  EXPECT_FALSE(precursor->collision_energy);
  EXPECT_FALSE(precursor->precursor_native_id);
}

TEST(ScanRow, BlockEachChoiceReadsFirst) {
  struct Case {
    const char* name;
    std::optional<SpectrumParams> profile, centroid;
    std::optional<BlockKind> automatic, stored;
  };
  const Case cases[] = {
      {"both blocks", kProfile, kCentroid, BlockKind::Profile, BlockKind::Centroid},
      {"profile only", kProfile, std::nullopt, BlockKind::Profile, BlockKind::Profile},
      {"centroid only", std::nullopt, kCentroid, BlockKind::Centroid, BlockKind::Centroid},
      {"no block", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    const ScanRecord record = record_with(c.profile, c.centroid);
    const ScanRow row(record);
    EXPECT_EQ(row.block(BlockChoice::Auto), c.automatic) << c.name;
    EXPECT_EQ(row.block(BlockChoice::Stored), c.stored) << c.name;
    for (BlockChoice choice : {BlockChoice::Auto, BlockChoice::Stored}) {
      const SpectrumParams* params = row.block_params(choice);
      const auto kind = row.block(choice);
      if (!kind) {
        EXPECT_EQ(params, nullptr) << c.name;
      } else {
        ASSERT_NE(params, nullptr) << c.name;
        EXPECT_EQ(params->point_count, *kind == BlockKind::Profile ? 400u : 6u) << c.name;
      }
    }
  }
}

// The block whose points a spectrum carries, for every choice, and whether
// the profile is read on the way: an empty profile gives way to the
// centroid block under Auto but is still read, so that its faults count.
TEST(ScanRow, BlockAndPointsOfEveryChoice) {
  struct Case {
    const char* name;
    std::optional<SpectrumParams> profile, centroid;
    BlockChoice choice;
    std::optional<BlockKind> block;
    bool reads_profile;
    std::uint32_t points;
  };
  const Case cases[] = {
      {"auto, both", kProfile, kCentroid, BlockChoice::Auto, BlockKind::Profile, true, 400},
      {"auto, empty profile and centroid", kEmptyProfile, kCentroid, BlockChoice::Auto, BlockKind::Centroid,
       true, 6},
      {"auto, empty profile alone", kEmptyProfile, std::nullopt, BlockChoice::Auto, BlockKind::Profile, true, 0},
      {"auto, centroid alone", std::nullopt, kCentroid, BlockChoice::Auto, BlockKind::Centroid, false, 6},
      {"auto, nothing", std::nullopt, std::nullopt, BlockChoice::Auto, std::nullopt, false, 0},
      {"stored, both", kProfile, kCentroid, BlockChoice::Stored, BlockKind::Centroid, false, 6},
      {"stored, empty profile and centroid", kEmptyProfile, kCentroid, BlockChoice::Stored, BlockKind::Centroid,
       false, 6},
      {"stored, profile alone", kProfile, std::nullopt, BlockChoice::Stored, BlockKind::Profile, true, 400},
      {"pick, both", kProfile, kCentroid, BlockChoice::Pick, BlockKind::Centroid, false, 6},
      {"pick, profile alone", kProfile, std::nullopt, BlockChoice::Pick, BlockKind::Profile, true, 400},
      {"pick-all, both", kProfile, kCentroid, BlockChoice::PickAll, BlockKind::Profile, true, 400},
      {"pick-all, centroid alone", std::nullopt, kCentroid, BlockChoice::PickAll, BlockKind::Centroid, false, 6},
  };
  for (const Case& c : cases) {
    const ScanRecord record = record_with(c.profile, c.centroid);
    const ScanRow row(record);
    EXPECT_EQ(row.block(c.choice), c.block) << c.name;
    EXPECT_EQ(row.reads_profile(c.choice), c.reads_profile) << c.name;
    EXPECT_EQ(row.point_count(c.choice), c.points) << c.name;
  }
}

TEST(ScanRow, Ms1IsLevelOneExactly) {
  struct Case {
    std::uint32_t level;
    bool ms1, msn;
  };
  const Case cases[] = {{0, false, false}, {1, true, false}, {2, false, true}, {3, false, true},
                        {UINT32_MAX, false, true}};
  for (const Case& c : cases) {
    ScanRecord record;
    record.ms_level = c.level;
    EXPECT_EQ(is_ms1(c.level), c.ms1) << c.level;
    EXPECT_EQ(ScanRow(record).is_ms1(), c.ms1) << c.level;
    EXPECT_EQ(is_msn(c.level), c.msn) << c.level;
    EXPECT_EQ(ScanRow(record).has_precursor(), c.msn) << c.level;
  }
}

TEST(ScanRow, PrecursorMzSelectedElseTarget) {
  struct Case {
    const char* name;
    std::optional<double> target, selected, expected;
  };
  const Case cases[] = {
      {"target only", 412.25, std::nullopt, 412.25},
      {"selected wins", 412.25, 412.5, 412.5},
      {"selected alone", std::nullopt, 300.0, 300.0},
      {"neither", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    morvane_core::types::Precursor precursor;
    precursor.target_mz = c.target;
    precursor.selected_mz = c.selected;
    EXPECT_EQ(precursor_mz(precursor), c.expected) << c.name;
    EXPECT_EQ(precursor_mz(std::optional(precursor)), c.expected) << c.name;
  }
  EXPECT_EQ(precursor_mz(std::optional<morvane_core::types::Precursor>()), std::nullopt);
}

TEST(ScanRow, NativeIdsReadBack) {
  struct Case {
    std::string_view text;
    std::optional<std::uint32_t> scan_id;
  };
  const Case cases[] = {
      {"scanId=0", 0u},           {"scanId=7", 7u},          {"scanId=4294967295", 4294967295u},
      {"scanId=4294967296", {}},  {"scanId=", {}},           {"scanId=07", {}},
      {"scanId=-1", {}},          {"scanId=+1", {}},         {"scanId=1 ", {}},
      {"scanid=1", {}},           {"scan=1", {}},            {"", {}},
      {"scanId=99999999999", {}}, {"scanId=1x", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(scan_id_of(c.text), c.scan_id) << c.text;
  for (std::uint32_t id : {0u, 1u, 10u, 123456u, 4294967295u}) {
    ScanRecord record;
    record.scan_id = id;
    EXPECT_EQ(scan_id_of(ScanRow(record).native_id()), id);
  }
}

TEST(BlockChoice, Codes) {
  EXPECT_EQ(block_choice_of(0), BlockChoice::Auto);
  EXPECT_EQ(block_choice_of(1), BlockChoice::Stored);
  EXPECT_EQ(block_choice_of(2), BlockChoice::Pick);
  EXPECT_EQ(block_choice_of(3), BlockChoice::PickAll);
  for (long code : {-1L, 4L, 255L, 256L}) EXPECT_EQ(block_choice_of(code), std::nullopt) << code;
}

TEST(ScanRow, NativeIdAndLevel) {
  ScanRecord record;
  record.scan_id = 4294967295u;
  record.ms_level = 2;
  const ScanRow row(record);
  EXPECT_EQ(row.native_id(), "scanId=4294967295");
  EXPECT_EQ(row.scan_id(), 4294967295u);
  EXPECT_EQ(row.ms_level(), 2u);
}

}  // namespace
}  // namespace karvel::reader
