#include "raw/msscan.hpp"

#include <gtest/gtest.h>

#include <random>

#include "scan_table_builder.hpp"

namespace karvel::raw::msscan {
namespace {

using karvel::testing::ScanTableBuilder;

std::string error_of(const std::vector<std::uint8_t>& bytes) {
  auto scan = MSScan::from_bytes(bytes);
  if (scan) return "ok";
  EXPECT_EQ(scan.error().kind(), Error::Kind::Parse);
  return scan.error().text();
}

TEST(MSScanHeader, ChecksInOrder) {
  EXPECT_EQ(error_of(std::vector<std::uint8_t>(91, 0)), "MSScan.bin too small for header");
  std::vector<std::uint8_t> bytes(92, 0);
  bytes[0] = 2;
  bytes[1] = 1;  // 258
  EXPECT_EQ(error_of(bytes), "Invalid MSScan magic: 258");
  bytes = ScanTableBuilder(284, 0).bytes();
  EXPECT_EQ(error_of(bytes), "Cannot determine record stride for payload len 0");
  std::vector<std::uint8_t> big(4000, 0);
  big[0] = 1;
  big[1] = 1;
  std::uint32_t header = 5000;
  std::memcpy(big.data() + 88, &header, 4);
  EXPECT_EQ(error_of(big), "MSScan.bin truncated header");
  header = 3997;
  std::memcpy(big.data() + 88, &header, 4);
  EXPECT_EQ(error_of(big), "Cannot determine record stride for payload len 3");
  header = 3996;  // a 4-byte payload fits no stride
  std::memcpy(big.data() + 88, &header, 4);
  EXPECT_EQ(error_of(big), "Cannot determine record stride for payload len 4");
}

TEST(MSScanStride, SingleRecordOfEachStrideIsAccepted) {
  for (std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
    ScanTableBuilder table(stride, 1, 128);
    table.record<std::uint16_t>(0, 20, 9);  // implausible, yet one record needs no test
    auto scan = MSScan::from_bytes(table.bytes());
    ASSERT_TRUE(scan) << stride;
    EXPECT_EQ(scan->stride, stride);
    EXPECT_EQ(scan->global_header_size, 128u);
    EXPECT_EQ(scan->records.size(), 1u);
  }
}

TEST(MSScanStride, SecondRecordMustFollowTheFirst) {
  ScanTableBuilder same_id(284, 2);
  same_id.record<std::uint32_t>(1, 0, 100);
  EXPECT_EQ(error_of(same_id.bytes()), "Cannot determine record stride for payload len 568");

  ScanTableBuilder far(284, 2);
  far.record<std::uint32_t>(1, 0, 100 + 100000);
  EXPECT_EQ(error_of(far.bytes()), "Cannot determine record stride for payload len 568");
  far.record<std::uint32_t>(1, 0, 100 + 99999);
  EXPECT_EQ(error_of(far.bytes()), "ok");

  for (std::uint16_t level : {0, 3}) {
    ScanTableBuilder bad_level(220, 2);
    bad_level.record<std::uint16_t>(1, 20, level);
    EXPECT_EQ(error_of(bad_level.bytes()), "Cannot determine record stride for payload len 440");
  }
}

TEST(MSScanStride, LimitSaturatesAtTheTopOfTheRange) {
  ScanTableBuilder table(216, 2);
  table.record<std::uint32_t>(0, 0, 4294967290u);
  table.record<std::uint32_t>(1, 0, 4294967295u);
  EXPECT_EQ(error_of(table.bytes()), "Cannot determine record stride for payload len 432");
  table.record<std::uint32_t>(1, 0, 4294967294u);
  EXPECT_EQ(error_of(table.bytes()), "ok");
}

TEST(MSScanStride, CommonMultipleOf196And186PrefersTheFirstThatPasses) {
  // 18228 bytes = 93 records of 196 = 98 records of 186.
  std::vector<std::uint8_t> bytes(92 + 18228, 0);
  std::uint32_t magic = 257, header = 92, id = 10, next = 11;
  std::uint16_t level = 1;
  std::memcpy(bytes.data(), &magic, 4);
  std::memcpy(bytes.data() + 88, &header, 4);
  std::memcpy(bytes.data() + 92, &id, 4);
  std::memcpy(bytes.data() + 92 + 186, &next, 4);
  std::memcpy(bytes.data() + 92 + 186 + 20, &level, 2);
  auto scan = MSScan::from_bytes(bytes);
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->stride, 186u);
  std::memcpy(bytes.data() + 92 + 196, &next, 4);
  std::memcpy(bytes.data() + 92 + 196 + 20, &level, 2);
  scan = MSScan::from_bytes(bytes);
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->stride, 196u);
  EXPECT_EQ(scan->records.size(), 93u);
}

TEST(MSScanRecord, TimeOfFlightFields) {
  ScanTableBuilder table(284, 2);
  table.record<double>(0, 12, 1.5)
      .record<double>(0, 28, 1e6)
      .record<double>(0, 36, 500.25)
      .record<double>(0, 44, 2e5)
      .record<std::int32_t>(0, 52, -3)
      .record<std::int32_t>(0, 64, 5)
      .record<double>(0, 76, 30.0)
      .record<double>(0, 84, 445.5)
      .record<double>(0, 244, 100.0)
      .record<double>(0, 252, 0.0);
  table.record<std::uint16_t>(1, 20, 2)
      .record<double>(1, 76, 25.0)
      .record<double>(1, 84, 600.5);
  auto scan = MSScan::from_bytes(table.bytes());
  ASSERT_TRUE(scan);
  const ScanRecord& ms1 = scan->records[0];
  EXPECT_EQ(ms1.scan_id, 100u);
  EXPECT_EQ(ms1.retention_time_min, 1.5);
  EXPECT_EQ(ms1.tic, 1e6);
  EXPECT_EQ(ms1.base_peak_mz, 500.25);
  EXPECT_EQ(ms1.base_peak_intensity, 2e5);
  EXPECT_EQ(ms1.calibration_id, -3);
  EXPECT_EQ(ms1.ion_polarity, 5);
  EXPECT_EQ(ms1.min_x, 100.0);
  EXPECT_EQ(ms1.max_x, 0.0);  // a stored zero is a present value
  EXPECT_FALSE(ms1.target_mz);
  EXPECT_FALSE(ms1.collision_energy);
  EXPECT_FALSE(ms1.mrm_channel_id);
  EXPECT_FALSE(ms1.profile_params);
  EXPECT_FALSE(ms1.centroid_params);
  const ScanRecord& ms2 = scan->records[1];
  EXPECT_EQ(ms2.ms_level, 2u);
  EXPECT_EQ(ms2.collision_energy, 25.0);
  EXPECT_EQ(ms2.target_mz, 600.5);
}

TEST(MSScanRecord, TripleQuadrupoleLayouts) {
  ScanTableBuilder wide(196, 1);
  wide.record<std::uint32_t>(0, 4, 7).record<std::int32_t>(0, 64, 1).record<std::uint16_t>(0, 20, 2);
  wide.record<double>(0, 76, 30.0);
  auto scan = MSScan::from_bytes(wide.bytes());
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->records[0].mrm_channel_id, 7u);
  EXPECT_EQ(scan->records[0].ion_polarity, 1);
  EXPECT_FALSE(scan->records[0].tic);
  EXPECT_FALSE(scan->records[0].calibration_id);
  EXPECT_FALSE(scan->records[0].collision_energy);

  ScanTableBuilder narrow(186, 1);
  narrow.record<std::uint16_t>(0, 62, 0xFFFF);
  scan = MSScan::from_bytes(narrow.bytes());
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->records[0].ion_polarity, -1);
}

TEST(MSScanParams, WideBlocksInOffsetOrder) {
  ScanTableBuilder table(284, 1);
  table.record<std::uint32_t>(0, 156, 2)
      .record<std::uint64_t>(0, 160, 1000)
      .record<std::uint32_t>(0, 168, 24)
      .record<std::uint32_t>(0, 172, 2)
      .record<std::uint32_t>(0, 176, 99);
  table.record<std::uint32_t>(0, 220, 3)
      .record<std::uint64_t>(0, 224, 0xFFFFFFFFFFull)
      .record<std::uint32_t>(0, 232, 36)
      .record<std::uint32_t>(0, 236, 3);
  auto scan = MSScan::from_bytes(table.bytes());
  ASSERT_TRUE(scan);
  const ScanRecord& record = scan->records[0];
  ASSERT_TRUE(record.centroid_params);
  EXPECT_EQ(*record.centroid_params, (SpectrumParams{3, 0xFFFFFFFFFFull, 36, 3, std::nullopt}));
  EXPECT_FALSE(record.profile_params);

  table.record<std::uint32_t>(0, 156, 1).record<std::uint32_t>(0, 176, 56);
  table.record<std::uint32_t>(0, 220, 2);
  scan = MSScan::from_bytes(table.bytes());
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->records[0].profile_params, (SpectrumParams{1, 1000, 24, 2, 56}));
  EXPECT_EQ(scan->records[0].centroid_params->format_id, 2u);

  table.record<std::uint32_t>(0, 156, 4).record<std::uint32_t>(0, 220, 0);
  scan = MSScan::from_bytes(table.bytes());
  EXPECT_FALSE(scan->records[0].profile_params);
  EXPECT_FALSE(scan->records[0].centroid_params);
}

TEST(MSScanParams, NarrowBlock) {
  ScanTableBuilder table(186, 1);
  table.record<std::uint16_t>(0, 136, 1)
      .record<std::uint64_t>(0, 138, 77)
      .record<std::uint32_t>(0, 146, 10)
      .record<std::uint32_t>(0, 150, 3)
      .record<std::uint32_t>(0, 154, 28);
  auto scan = MSScan::from_bytes(table.bytes());
  ASSERT_TRUE(scan);
  EXPECT_EQ(scan->records[0].profile_params, (SpectrumParams{1, 77, 10, 3, 28}));
}

TEST(MSScanRobustness, TruncationsAndMutationsNeverReadOutside) {
  ScanTableBuilder table(220, 5);
  for (std::size_t i = 0; i < 5; ++i) table.record<std::uint32_t>(i, 156, 1 + i % 3);
  const std::vector<std::uint8_t> valid = table.bytes();
  for (std::size_t length = 0; length <= valid.size(); ++length) {
    std::vector<std::uint8_t> cut(valid.begin(), valid.begin() + length);
    (void)MSScan::from_bytes(cut);
  }
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> bytes = valid;
    for (int flips = 0; flips < 4; ++flips) {
      bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    }
    (void)MSScan::from_bytes(bytes);
  }
}

// Reading only the layout first and the records later gives what reading
// both at once gives, for every layout; it accepts and refuses the same
// bytes, and a later decode cannot read outside them.
TEST(MSScanLayoutOnly, DecodingLaterGivesTheSameTable) {
  for (std::uint32_t stride : {284u, 220u, 216u, 196u, 186u}) {
    for (std::size_t count : {1u, 2u, 9u}) {
      SCOPED_TRACE(::testing::Message() << "stride " << stride << ", " << count << " records");
      ScanTableBuilder table(stride, count);
      for (std::size_t i = 0; i < count; ++i) {
        table.record<double>(i, 12, 0.5 + static_cast<double>(i));
        table.record<std::int32_t>(i, stride == 186 ? 62 : 64, static_cast<std::int32_t>(i % 2));
      }
      auto whole = MSScan::from_bytes(table.bytes());
      auto layout = MSScan::layout_from_bytes(table.bytes());
      ASSERT_TRUE(whole);
      ASSERT_TRUE(layout);
      EXPECT_TRUE(layout->records.empty());
      EXPECT_EQ(layout->count(), count);
      EXPECT_EQ(layout->stride, whole->stride);
      EXPECT_EQ(layout->global_header_size, whole->global_header_size);
      layout->decode_records(table.bytes());
      EXPECT_EQ(layout->records, whole->records);
      EXPECT_EQ(layout->count(), whole->count());
    }
  }
}

TEST(MSScanLayoutOnly, AcceptsAndRefusesWhatTheWholeReadDoes) {
  ScanTableBuilder table(196, 6);
  const std::vector<std::uint8_t> valid = table.bytes();
  std::mt19937 random(11);
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::uint8_t> bytes = valid;
    if (round % 2 == 0) bytes.resize(random() % (valid.size() + 1));
    for (int flips = 0; flips < 3 && !bytes.empty(); ++flips) {
      bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    }
    auto whole = MSScan::from_bytes(bytes);
    auto layout = MSScan::layout_from_bytes(bytes);
    ASSERT_EQ(whole.has_value(), layout.has_value());
    if (!whole) {
      EXPECT_EQ(layout.error().text(), whole.error().text());
      continue;
    }
    EXPECT_EQ(layout->count(), whole->records.size());
    // Shorter bytes than the layout was read from: no record past their end.
    std::vector<std::uint8_t> shorter(bytes.begin(), bytes.begin() + bytes.size() / 2);
    layout->decode_records(shorter);
    EXPECT_LE(layout->records.size(), whole->records.size());
    layout->decode_records(bytes);
    EXPECT_EQ(layout->records, whole->records);
  }
}

}  // namespace
}  // namespace karvel::raw::msscan
