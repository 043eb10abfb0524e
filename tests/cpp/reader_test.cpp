#include "reader/reader.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "reader/calibration_selection.hpp"
#include "reader/run_choices.hpp"
#include "reader_test_folder.hpp"
#include "scan_table_builder.hpp"

namespace karvel::reader {
namespace {

using karvel::testing::ScanTableBuilder;
using karvel::testing::TestFolder;
using morvane_core::enums::Polarity;
using morvane_core::enums::ScanMode;
using raw::defaultmasscal::DefaultCalibration;

TEST(BundleName, FinalNormalComponent) {
  EXPECT_EQ(bundle_name_of("/data/run1.d"), "run1.d");
  EXPECT_EQ(bundle_name_of("/data/run1.d/"), "run1.d");
  EXPECT_EQ(bundle_name_of("/data/run1.d/."), "run1.d");
  EXPECT_EQ(bundle_name_of("/data//run1.d//./"), "run1.d");
  EXPECT_EQ(bundle_name_of("run1.d"), "run1.d");
  EXPECT_EQ(bundle_name_of("/"), "bundle.d");
  EXPECT_EQ(bundle_name_of("."), "bundle.d");
  EXPECT_EQ(bundle_name_of(".."), "bundle.d");
  EXPECT_EQ(bundle_name_of("/data/.."), "bundle.d");
  EXPECT_EQ(bundle_name_of(""), "bundle.d");
  EXPECT_EQ(bundle_name_of("/data/r\xFFn.d"), "r\xEF\xBF\xBDn.d");
}

TEST(ReaderOpen, MissingAcqDataIsAParseError) {
  auto reader = Reader::open("/nonexistent/karvel/run.d");
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().display(), "parse error: AcqData directory not found");
}

TEST(ReaderOpen, PathWithANulByteIsNotFound) {
  TestFolder folder;
  folder.write("MSScan.bin", ScanTableBuilder(186, 3).bytes());
  using namespace std::string_literals;
  // Cut at the NUL, each of these would name an existing run or file.
  for (const std::string& path : {folder.path() + "\0"s, folder.path() + "\0/../x.d"s,
                                  folder.acq().string() + "/MSScan.bin\0"s}) {
    auto reader = Reader::open(path);
    ASSERT_FALSE(reader) << path;
    EXPECT_EQ(reader.error().display(), "parse error: AcqData directory not found");
  }
  ASSERT_TRUE(Reader::open(folder.path()));
}

TEST(ReaderOpen, AcqDataThatIsAFileFailsReadingTheScanTable) {
  TestFolder folder;
  std::filesystem::remove_all(folder.acq());
  std::ofstream(folder.acq()) << "not a directory";
  auto reader = Reader::open(folder.path());
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().kind(), Error::Kind::Io);
  EXPECT_EQ(reader.error().display(), "I/O error: Not a directory (os error 20)");
}

TEST(ReaderOpen, MalformedScanTableIsReturnedUnchanged) {
  TestFolder folder;
  folder.write("MSScan.bin", std::vector<std::uint8_t>(50, 0));
  auto reader = Reader::open(folder.path());
  ASSERT_FALSE(reader);
  EXPECT_EQ(reader.error().display(), "parse error: MSScan.bin too small for header");
}

TEST(ReaderOpen, OnlyAScanTableIsEnough) {
  TestFolder folder("only.d");
  folder.write("MSScan.bin", ScanTableBuilder(186, 3).bytes());
  auto reader = Reader::open(folder.path() + "/");
  ASSERT_TRUE(reader) << reader.error().display();
  const Reader& r = **reader;
  EXPECT_EQ(r.bundle_name(), "only.d");
  EXPECT_EQ(r.scan().records.size(), 3u);
  EXPECT_FALSE(r.device());
  EXPECT_FALSE(r.acquired_time());
  EXPECT_TRUE(r.calibrations().empty());
  EXPECT_EQ(r.instrument(), (CvTerm{"MS:1000461", "Agilent QQQ"}));
  EXPECT_EQ(r.analyzer(), Analyzer::TripleQuadrupole);
  EXPECT_EQ(r.profile_path(), folder.path() + "/AcqData/MSProfile.bin");
}

TEST(RunChoices, InstrumentTerms) {
  MSScan tof;
  tof.stride = 220;
  MSScan qqq;
  qqq.stride = 186;
  auto term = [](std::string model, const MSScan& scan) {
    return resolve_instrument(DeviceInfo{"QTOF", model}, scan).accession;
  };
  EXPECT_EQ(term("g6530b", qqq), "MS:1002787");
  EXPECT_EQ(term("G6410A", tof), "MS:1003526");
  EXPECT_EQ(term("G6550a", tof), "MS:1002784");
  EXPECT_EQ(term("G6545A", tof), "MS:1000490");
  EXPECT_EQ(term(" G6530B", tof), "MS:1000490");
  EXPECT_EQ(term("G6530B ", tof), "MS:1000490");
  EXPECT_EQ(resolve_instrument(std::nullopt, tof), (CvTerm{"MS:1000461", "Agilent Q-TOF"}));
  EXPECT_EQ(resolve_instrument(std::nullopt, qqq), (CvTerm{"MS:1000461", "Agilent QQQ"}));
  EXPECT_EQ(resolve_instrument(DeviceInfo{"QTOF", "G6530B"}, tof).name, "6530B Q-TOF LC/MS");
}

TEST(RunChoices, AnalyzerFromDeviceNameThenStride) {
  MSScan tof;
  tof.stride = 284;
  MSScan qqq;
  qqq.stride = 186;
  EXPECT_EQ(resolve_analyzer(DeviceInfo{"qToF", "x"}, qqq), Analyzer::TimeOfFlight);
  EXPECT_EQ(resolve_analyzer(DeviceInfo{"Q-TOF", "x"}, qqq), Analyzer::TripleQuadrupole);
  EXPECT_EQ(resolve_analyzer(DeviceInfo{"TandemQuadrupole", "x"}, tof), Analyzer::TripleQuadrupole);
  EXPECT_EQ(resolve_analyzer(DeviceInfo{" QTOF", "x"}, qqq), Analyzer::TripleQuadrupole);
  EXPECT_EQ(resolve_analyzer(std::nullopt, tof), Analyzer::TimeOfFlight);
}

DefaultCalibration entry(std::int32_t id, std::array<double, 8> values, std::uint32_t flags) {
  DefaultCalibration calibration;
  calibration.calibration_id = id;
  calibration.traditional = {1.5e-4, 0.1};
  calibration.polynomial_values = values;
  calibration.value_use_flags = flags;
  return calibration;
}

std::vector<double> record_with(std::array<double, 8> values) {
  std::vector<double> coefficients{1.5e-4, 0.1};
  coefficients.insert(coefficients.end(), values.begin(), values.end());
  return coefficients;
}

constexpr std::array<double, 8> kValues{1000, 50000, 1e-3, 2e-7, 0, 0, 0, 0};

TEST(PolynomialFlags, ZeroCoefficientsNeedNoDefaults) {
  const auto flags = polynomial_flags(record_with({5, 6, 0, -0.0, 0, 0, 0, 0}), std::nullopt, {});
  ASSERT_TRUE(flags);
  EXPECT_EQ(*flags, 0u);
}

TEST(PolynomialFlags, MatchingIsRelativeAndNaNNeverMatches) {
  const std::vector<DefaultCalibration> defaults{entry(1, kValues, 0b11)};
  auto close = kValues;
  close[2] *= 1 + 1e-13;
  EXPECT_EQ(polynomial_flags(record_with(close), 1, defaults).value(), 0b11u);
  auto far = kValues;
  far[2] *= 1 + 1e-11;
  auto failed = polynomial_flags(record_with(far), 1, defaults);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display(),
            "parse error: MSMassCal.bin Polynomial values match no DefaultMassCal.xml entry, so "
            "their ValueUseFlags are unknown");
  auto nan = kValues;
  nan[0] = std::nan("");
  const std::vector<DefaultCalibration> nan_defaults{entry(1, nan, 1)};
  EXPECT_FALSE(polynomial_flags(record_with(nan), 1, nan_defaults));
}

TEST(PolynomialFlags, CalibrationIdPassComesFirst) {
  const std::vector<DefaultCalibration> defaults{entry(1, kValues, 0b011), entry(2, kValues, 0b110)};
  EXPECT_EQ(polynomial_flags(record_with(kValues), 2, defaults).value(), 0b110u);
  EXPECT_EQ(polynomial_flags(record_with(kValues), std::nullopt, defaults).value(), 0b011u);
  EXPECT_EQ(polynomial_flags(record_with(kValues), 9, defaults).value(), 0b011u);
  std::vector<double> nine = record_with(kValues);
  nine.pop_back();
  EXPECT_FALSE(polynomial_flags(nine, 1, defaults));
}

TEST(ReaderSpectrum, FieldsExtrasAndPrecursor) {
  TestFolder folder;
  ScanTableBuilder table(196, 3);
  table.record<double>(0, 12, 1.5).record<std::int32_t>(0, 64, 0).record<std::uint32_t>(0, 4, 3);
  table.record<std::uint16_t>(1, 20, 2).record<std::uint32_t>(1, 4, 7).record<std::int32_t>(1, 64, 5);
  table.record<std::uint16_t>(2, 20, 1).record<std::int32_t>(2, 64, -1);
  folder.write("MSScan.bin", table.bytes());
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  const Reader& r = **reader;
  auto first = r.spectrum(0);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->native_id, "scanId=100");
  EXPECT_EQ(first->scan_number, 100u);
  EXPECT_EQ(first->retention_time_sec, 90.0);
  EXPECT_EQ(first->polarity, Polarity::Positive);
  EXPECT_EQ(first->scan_mode, ScanMode::Centroid);
  EXPECT_TRUE(first->mz.empty());
  EXPECT_FALSE(first->precursor);
  EXPECT_EQ(first->extra, (morvane_core::types::ExtraMap{{"karvel.mrm_channel_id", "3"}}));

  auto second = r.spectrum(1);
  ASSERT_TRUE(second);
  EXPECT_FALSE(second->polarity);
  ASSERT_TRUE(second->precursor);
  EXPECT_EQ(second->precursor->precursor_native_id, "mrm_channel=7");
  EXPECT_FALSE(second->precursor->target_mz);
  EXPECT_EQ(second->extra.at("karvel.ion_polarity"), "5");

  auto third = r.spectrum(2);
  EXPECT_EQ(third->extra.at("karvel.ion_polarity"), "-1");
}

TEST(ReaderSpectrum, ProfileWithoutCalibrationFailsItsScanOnly) {
  TestFolder folder;
  ScanTableBuilder table(196, 2);
  table.record<std::uint32_t>(0, 144, 1).record<std::uint32_t>(0, 160, 3);
  folder.write("MSScan.bin", table.bytes());
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  const Reader& r = **reader;
  auto spectra = r.iter_spectra();
  EXPECT_EQ(spectra->remaining(), 2u);
  auto failed = spectra->next();
  ASSERT_TRUE(failed && !*failed);
  EXPECT_EQ(failed->error().display(),
            "vendor parser error: scanId=100: profile block: parse error: profile block has no "
            "mass calibration");
  auto fine = spectra->next();
  ASSERT_TRUE(fine && *fine);
  EXPECT_EQ((*fine)->index, 1u);
  EXPECT_FALSE(spectra->next());
  EXPECT_EQ(r.decode_failures(BlockKind::Profile), 1u);

  auto chromatograms = (*reader)->iter_chromatograms();
  auto only = chromatograms->next();
  ASSERT_TRUE(only && !*only);
  EXPECT_FALSE(chromatograms->next());
}

TEST(ReaderSource, MetadataAndChromatograms) {
  TestFolder folder("meta.d");
  ScanTableBuilder table(186, 3, 100);
  table.record<double>(0, 12, 0.5).record<std::uint16_t>(1, 20, 2).record<double>(2, 12, 1.0);
  folder.write("MSScan.bin", table.bytes());
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  const auto metadata = (*reader)->run_metadata();
  EXPECT_EQ(metadata.source_file_name, "meta.d");
  EXPECT_EQ(metadata.source_file_format.accession, "MS:1001509");
  EXPECT_EQ(metadata.native_id_format.name, "Agilent MassHunter nativeID format");
  EXPECT_EQ(metadata.software_name, "karvel");
  EXPECT_EQ(metadata.software_version, "1.0.0");
  EXPECT_TRUE(metadata.analyzers.empty());
  EXPECT_EQ(metadata.extra, (morvane_core::types::ExtraMap{{"karvel.msscan_header_size", "100"},
                                                           {"karvel.msscan_stride", "186"}}));

  auto chromatograms = (*reader)->iter_chromatograms();
  EXPECT_EQ(chromatograms->remaining(), 2u);
  auto tic = chromatograms->next().value().value();
  auto bpc = chromatograms->next().value().value();
  EXPECT_EQ(tic.id, "TIC");
  EXPECT_EQ(tic.chromatogram_type->accession, "MS:1000235");
  EXPECT_EQ(tic.time_sec, (std::vector<float>{30.0f, 60.0f}));
  ASSERT_EQ(tic.intensity.size(), 2u);
  EXPECT_TRUE(std::signbit(tic.intensity[0]));  // the sum of no points
  EXPECT_EQ(bpc.index, 1u);
  EXPECT_EQ(bpc.chromatogram_type->name, "basepeak chromatogram");
  EXPECT_EQ(bpc.intensity, (std::vector<float>{0.0f, 0.0f}));
}

TEST(ReaderSource, OnlyFragmentSpectraGiveNoChromatograms) {
  TestFolder folder;
  ScanTableBuilder table(196, 2);
  table.record<std::uint16_t>(0, 20, 2).record<std::uint16_t>(1, 20, 2);
  folder.write("MSScan.bin", table.bytes());
  auto reader = Reader::open(folder.path());
  ASSERT_TRUE(reader);
  EXPECT_EQ((*reader)->iter_chromatograms()->remaining(), 0u);
}

}  // namespace
}  // namespace karvel::reader
