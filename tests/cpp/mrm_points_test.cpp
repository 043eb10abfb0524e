#include "reader/mrm_points.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "byte_writer.hpp"
#include "reader_test_folder.hpp"
#include "scan_table_builder.hpp"

namespace karvel::reader {
namespace {

using karvel::testing::Bytes;
using karvel::testing::ScanTableBuilder;
using karvel::testing::TestFolder;

// One scan row of a triple-quadrupole table (stride 196) and the centroid
// block it names; points are (m/z, intensity) pairs stored interleaved.
struct Scan {
  const char* name;
  std::uint16_t ms_level;
  std::uint32_t channel;
  std::int32_t polarity;
  std::uint32_t format_id;  // 0: no block
  std::vector<std::pair<double, float>> points;
  std::uint32_t point_count;  // as stored; may claim more than the block holds
  std::uint64_t offset = UINT64_MAX;  // UINT64_MAX: where the block is written
};

const std::vector<Scan> kScans = {
    {"MS1 with a channel: not an MRM scan", 1, 9, 0, 3, {{50.0, 1.0f}}, 1},
    {"two points", 2, 7, 0, 3, {{101.5, 2.0f}, {102.5, 3.0f}}, 2},
    {"negative, one point", 2, 3, 1, 3, {{77.25, -0.0f}}, 1},
    {"block shorter than its points", 2, 4, 0, 3, {{88.0, 1.0f}}, 5},
    {"block past the end of the file", 2, 4, 0, 3, {{1.0, 1.0f}}, 1, 1u << 20},
    {"no block", 2, 5, 0, 0, {}, 0},
    {"flight times without a calibration", 2, 6, 0, 2, {{60.0, 1.0f}}, 1},
    {"no points", 2, 8, 2, 3, {}, 0},
};

class MrmPoints : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanTableBuilder table(196, kScans.size());
    Bytes peaks;
    for (std::size_t i = 0; i < kScans.size(); ++i) {
      const Scan& scan = kScans[i];
      table.record<double>(i, 12, 0.5 + static_cast<double>(i))
          .record<std::uint16_t>(i, 20, scan.ms_level)
          .record<std::uint32_t>(i, 4, scan.channel)
          .record<std::int32_t>(i, 64, scan.polarity);
      if (scan.format_id == 0) continue;
      const std::uint64_t offset = scan.offset != UINT64_MAX ? scan.offset : peaks.size();
      for (const auto& [mz, intensity] : scan.points) {
        testing::put(peaks, mz);
        testing::put(peaks, intensity);
      }
      table.record<std::uint32_t>(i, 144, scan.format_id)
          .record<std::uint64_t>(i, 148, offset)
          .record<std::uint32_t>(i, 156, static_cast<std::uint32_t>(12 * scan.points.size()))
          .record<std::uint32_t>(i, 160, scan.point_count);
    }
    folder_.write("MSScan.bin", table.bytes());
    folder_.write("MSPeak.bin", peaks);
    reader_ = std::move(Reader::open(folder_.path()).value());
  }

  TestFolder folder_;
  std::unique_ptr<Reader> reader_;
};

// Every scan's rows are the points Reader::points gives it, with its row's
// values; a scan whose block fails is listed with the error Reader::points
// gives, and counted once as a failing centroid block.
TEST_F(MrmPoints, AgreeWithTheReadersPoints) {
  ScanFailures failures;
  const auto columns = mrm_points(*reader_, &failures).value();
  EXPECT_EQ(reader_->decode_failures(BlockKind::Centroid), 3u);

  std::size_t row = 0;
  std::size_t failed = 0;
  for (std::uint32_t index = 0; index < kScans.size(); ++index) {
    const Scan& scan = kScans[index];
    const auto points = reader_->points(index);
    if (!points) {
      ASSERT_LT(failed, failures.size()) << scan.name;
      EXPECT_EQ(failures[failed].first, index) << scan.name;
      EXPECT_EQ(failures[failed].second.display(), points.error().display()) << scan.name;
      ++failed;
      continue;
    }
    if (scan.ms_level < 2) continue;
    for (std::size_t k = 0; k < points->peaks.mz.size(); ++k, ++row) {
      ASSERT_LT(row, columns.mz.size()) << scan.name;
      EXPECT_EQ(columns.spectrum_index[row], index) << scan.name;
      EXPECT_EQ(columns.channel[row], scan.channel) << scan.name;
      EXPECT_EQ(columns.rt[row], (0.5 + index) * 60.0) << scan.name;
      EXPECT_EQ(columns.mz[row], points->peaks.mz[k]) << scan.name;
      EXPECT_EQ(std::signbit(columns.intensity[row]), std::signbit(points->peaks.intensity[k])) << scan.name;
      EXPECT_EQ(columns.intensity[row], points->peaks.intensity[k]) << scan.name;
      EXPECT_TRUE(std::isnan(columns.collision_energy[row])) << scan.name;
      EXPECT_EQ(columns.polarity[row], scan.polarity == 0 ? 1 : scan.polarity == 1 ? -1 : 0) << scan.name;
    }
  }
  EXPECT_EQ(row, columns.mz.size());
  EXPECT_EQ(row, 3u);
  EXPECT_EQ(failed, failures.size());
  EXPECT_EQ(failed, 3u);
}

TEST_F(MrmPoints, ChosenScansInTheirOrderAndTheFirstErrorWithoutFailures) {
  const std::vector<std::uint32_t> backwards{2, 1, 0};
  const auto columns = mrm_points(*reader_, backwards).value();
  EXPECT_EQ(columns.spectrum_index, (UninitVector<std::uint32_t>{2, 1, 1}));
  EXPECT_EQ(columns.mz, (UninitVector<double>{77.25, 101.5, 102.5}));

  const std::vector<std::uint32_t> through_damage{1, 6, 3};
  const auto failed = mrm_points(*reader_, through_damage);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(),
            "scanId=106: centroid block: parse error: Q-TOF centroid block has no mass calibration");

  const std::vector<std::uint32_t> beyond{1, static_cast<std::uint32_t>(kScans.size())};
  const auto out_of_range = mrm_points(*reader_, beyond);
  ASSERT_FALSE(out_of_range);
  EXPECT_EQ(out_of_range.error().kind(), Error::Kind::Parse);
}

}  // namespace
}  // namespace karvel::reader
