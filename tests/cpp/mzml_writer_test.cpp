#include "export/mzml_writer.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "export/sha1.hpp"
#include "reader_test_folder.hpp"
#include "scan_table_builder.hpp"

namespace karvel::exporter {
namespace {

using karvel::testing::ScanTableBuilder;
using karvel::testing::TestFolder;

// Options reading `choice`, written without zlib, intensities in 64 bits.
MzmlOptions uncompressed_float64(reader::BlockChoice choice) {
  MzmlOptions options;
  options.choice = choice;
  options.zlib = false;
  options.intensity_bits = IntensityBits::Float64;
  return options;
}

// A triple-quadrupole run (stride 196) whose scans carry format-3 centroid
// blocks: MS1 and MS2 alternate, one scan a minute, scan i has i + 1 peaks.
// With `broken`, the last scan's block lies past the end of MSPeak.bin.
std::shared_ptr<const reader::Reader> make_run(const TestFolder& folder, std::size_t scans,
                                               bool broken = false) {
  ScanTableBuilder table(196, scans);
  std::string peaks;
  for (std::size_t i = 0; i < scans; ++i) {
    const std::uint32_t count = static_cast<std::uint32_t>(i + 1);
    table.record<double>(i, 12, static_cast<double>(i));
    table.record<std::uint16_t>(i, 20, static_cast<std::uint16_t>(i % 2 + 1));
    table.record<std::int32_t>(i, 64, static_cast<std::int32_t>(i % 3 == 2));
    table.record<std::uint32_t>(i, 144, 3);
    table.record<std::uint64_t>(i, 148, broken && i + 1 == scans ? 1u << 30 : peaks.size());
    table.record<std::uint32_t>(i, 156, 12 * count);
    table.record<std::uint32_t>(i, 160, count);
    for (std::uint32_t k = 0; k < count; ++k) {
      const double mz = 100.0 + 0.1 * k + static_cast<double>(i);
      const float intensity = 10.0f * static_cast<float>(k + 1);
      peaks.append(reinterpret_cast<const char*>(&mz), 8);
      peaks.append(reinterpret_cast<const char*>(&intensity), 4);
    }
  }
  folder.write("MSScan.bin", table.bytes());
  folder.write("MSPeak.bin", peaks);
  auto reader = reader::Reader::open(folder.path());
  EXPECT_TRUE(reader);
  return std::shared_ptr<const reader::Reader>(std::move(*reader));
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string out_path(const TestFolder& folder) {
  return (std::filesystem::path(folder.path()).parent_path() / "out.mzML").string();
}

Result<void> convert(std::shared_ptr<const reader::Reader> reader, const std::string& out,
                     ScanFilter filter = {}, MzmlOptions options = {}) {
  auto positions = select_scans(reader->scan(), filter);
  auto writer = MzmlWriter::create(std::move(reader), out, std::move(positions), options);
  if (!writer) return std::unexpected(writer.error());
  return (*writer)->finish();
}

std::size_t count_of(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++count;
  }
  return count;
}

// Every index offset points at its element, indexListOffset at <indexList>
// and the checksum is the SHA-1 of everything up to <fileChecksum>.
void expect_consistent_index(const std::string& file, std::size_t spectra, std::size_t chromatograms) {
  const std::regex list_offset("<indexListOffset>(\\d+)</indexListOffset>");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(file, match, list_offset));
  const std::size_t list_start = std::stoull(match[1]);
  ASSERT_EQ(file.compare(list_start, 11, "<indexList "), 0);

  const std::regex offset("<offset idRef=\"([^\"]*)\">(\\d+)</offset>");
  std::size_t seen_spectra = 0, seen_chromatograms = 0;
  const std::string index = file.substr(list_start);
  for (auto it = std::sregex_iterator(index.begin(), index.end(), offset); it != std::sregex_iterator(); ++it) {
    const std::string id = (*it)[1];
    const std::size_t at = std::stoull((*it)[2]);
    const bool spectrum = file.compare(at, 10, "<spectrum ") == 0;
    const bool chromatogram = file.compare(at, 14, "<chromatogram ") == 0;
    ASSERT_TRUE(spectrum || chromatogram) << id << " at " << at;
    const std::size_t tag_end = file.find('>', at);
    EXPECT_NE(file.substr(at, tag_end - at).find(" id=\"" + id + "\""), std::string::npos) << id;
    (spectrum ? seen_spectra : seen_chromatograms)++;
  }
  EXPECT_EQ(seen_spectra, spectra);
  EXPECT_EQ(seen_chromatograms, chromatograms);

  const std::string open_tag = "<fileChecksum>";
  const std::size_t checksum_at = file.rfind(open_tag) + open_tag.size();
  auto sha1 = Sha1::create().value();
  ASSERT_TRUE(sha1.update(std::string_view(file).substr(0, checksum_at)));
  EXPECT_EQ(file.substr(checksum_at, 40), to_hex(sha1.finish().value()));
  EXPECT_EQ(file.substr(checksum_at + 40), "</fileChecksum>\n</indexedmzML>\n");
}

TEST(MzmlWriter, IndexOffsetsAndChecksum) {
  TestFolder folder;
  auto reader = make_run(folder, 7);
  const std::string out = out_path(folder);
  ASSERT_TRUE(convert(reader, out));
  const std::string file = read_file(out);
  expect_consistent_index(file, 7, 2);
  EXPECT_NE(file.find("<spectrumList count=\"7\""), std::string::npos);
  EXPECT_NE(file.find("id=\"scanId=106\" defaultArrayLength=\"7\""), std::string::npos);
  EXPECT_EQ(count_of(file, "name=\"MSn spectrum\""), 1u + 3u);  // file content, then spectra
  EXPECT_EQ(count_of(file, "name=\"negative scan\""), 2u);
  EXPECT_NE(file.find("name=\"MSScan.bin\""), std::string::npos);
}

TEST(MzmlWriter, FiltersAndTheirIndexes) {
  struct Case {
    ScanFilter filter;
    MzmlOptions options;
    std::size_t spectra;
    std::size_t chromatograms;
  };
  const MzmlOptions plain = uncompressed_float64(reader::BlockChoice::Auto);
  const Case cases[] = {{{{2}, std::nullopt}, {}, 3, 0},
                        {{{}, std::pair{60.0, 180.0}}, plain, 3, 2},
                        {{{}, std::pair{1e9, 2e9}}, {}, 0, 0}};
  for (const Case& c : cases) {
    TestFolder folder;
    const std::string out = out_path(folder);
    ASSERT_TRUE(convert(make_run(folder, 7), out, c.filter, c.options));
    const std::string file = read_file(out);
    expect_consistent_index(file, c.spectra, c.chromatograms);
    EXPECT_EQ(count_of(file, "<chromatogramList "), c.chromatograms ? 1u : 0u);
  }
}

TEST(MzmlWriter, SameRunSameBytes) {
  TestFolder folder;
  auto reader = make_run(folder, 5);
  const std::string first = out_path(folder);
  const std::string second = first + ".again";
  ASSERT_TRUE(convert(reader, first));
  ASSERT_TRUE(convert(reader, second));
  EXPECT_EQ(read_file(first), read_file(second));
}

// Spectra prepared on worker threads give the file written by one thread,
// whatever the thread count, filter and encoding; a failing scan fails the
// writer at its own turn, after the spectra before it.
TEST(MzmlWriter, ThreadsWriteTheSameBytes) {
  struct Case {
    ScanFilter filter;
    MzmlOptions options;
  };
  const Case cases[] = {{{}, {}},
                        {{{1}, std::nullopt}, uncompressed_float64(reader::BlockChoice::Stored)},
                        {{{}, std::pair{120.0, 1e9}}, {}}};
  for (const Case& c : cases) {
    TestFolder folder;
    auto reader = make_run(folder, 40);
    const std::string single = out_path(folder);
    ASSERT_TRUE(convert(reader, single, c.filter, c.options));
    for (unsigned threads : {2u, 3u, 64u}) {
      MzmlOptions options = c.options;
      options.threads = threads;
      const std::string threaded = single + "." + std::to_string(threads);
      ASSERT_TRUE(convert(reader, threaded, c.filter, options));
      EXPECT_EQ(read_file(threaded), read_file(single)) << threads << " threads";
    }
  }
  TestFolder folder;
  MzmlOptions options;
  options.threads = 4;
  auto broken = make_run(folder, 12, /*broken=*/true);
  auto writer = MzmlWriter::create(broken, out_path(folder), select_scans(broken->scan(), {}), options);
  ASSERT_TRUE(writer);
  EXPECT_EQ((*writer)->write_next(11).value(), 11u);
  auto failed = (*writer)->write_next(1);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), Error::Kind::Scan);
  EXPECT_FALSE(std::filesystem::exists(out_path(folder)));
}

// A failing spectrum, or a writer dropped before finish, leaves neither the
// output nor a temporary file behind; an existing output stays as it was.
TEST(MzmlWriter, NothingLeftBehindUnlessFinished) {
  TestFolder folder;
  const auto directory = std::filesystem::path(folder.path()).parent_path();
  const std::string out = out_path(folder);
  std::ofstream(out) << "previous";
  {
    auto writer = MzmlWriter::create(make_run(folder, 4, /*broken=*/true), out, {0, 1, 2, 3}, {});
    ASSERT_TRUE(writer);
    EXPECT_EQ((*writer)->write_next(3).value(), 3u);
    auto failed = (*writer)->write_next(3);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), Error::Kind::Scan);
    EXPECT_FALSE((*writer)->finish());
  }
  {
    EXPECT_EQ(MzmlWriter::create(make_run(folder, 4), out, {0, 4}, {}).error().kind(), Error::Kind::Parse);
    auto writer = MzmlWriter::create(make_run(folder, 4), out, {3, 2, 1, 0}, {});
    ASSERT_TRUE(writer);
    EXPECT_EQ((*writer)->write_next(2).value(), 2u);
  }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"out.mzML", "run.d"}));
  EXPECT_EQ(read_file(out), "previous");
}

// Spectra the caller left out are named on <run>, before the spectrum list,
// with their reasons escaped; the list's count and the index hold the rest.
TEST(MzmlWriter, SkippedSpectraNamedOnTheRun) {
  struct Case {
    std::vector<SkippedSpectrum> skipped;
    std::vector<std::string> params;
  };
  const std::vector<Case> cases = {
      {{}, {}},
      {{{"scanId=2", "profile block: parse error"}},
       {R"(<userParam name="skipped spectrum" value="scanId=2: profile block: parse error" type="xsd:string"/>)"}},
      {{{"scanId=1", "a <b> & \"c\""}, {"scanId=4", ""}},
       {R"(<userParam name="skipped spectrum" value="scanId=1: a &lt;b&gt; &amp; &quot;c&quot;" type="xsd:string"/>)",
        R"(<userParam name="skipped spectrum" value="scanId=4: " type="xsd:string"/>)"}},
  };
  for (const Case& c : cases) {
    TestFolder folder;
    const std::string out = out_path(folder);
    auto writer = MzmlWriter::create(make_run(folder, 4), out, {0, 2}, {}, c.skipped);
    ASSERT_TRUE(writer);
    ASSERT_TRUE((*writer)->finish());
    const std::string file = read_file(out);
    const std::size_t run = file.find("<run ");
    const std::size_t list = file.find("<spectrumList count=\"2\"");
    ASSERT_NE(run, std::string::npos);
    ASSERT_NE(list, std::string::npos);
    const std::string head = file.substr(run, list - run);
    EXPECT_EQ(count_of(head, "<userParam "), c.params.size());
    EXPECT_EQ(count_of(file, "name=\"skipped spectrum\""), c.params.size());
    for (const std::string& param : c.params) EXPECT_NE(head.find(param), std::string::npos) << param;
    expect_consistent_index(file, 2, 2);
  }
}

// An empty array is an empty <binary> with encodedLength 0 under either
// compression, keeping its terms.
TEST(MzmlWriter, EmptyArraysHaveEmptyBinaries) {
  for (const bool zlib : {true, false}) {
    std::string out;
    auto arrays = BinaryArrayWriter::create(zlib);
    ASSERT_TRUE(arrays);
    ASSERT_TRUE(arrays->append(out, std::span<const double>{}, terms::kMzArray, terms::kMz, ""));
    EXPECT_NE(out.find("<binaryDataArray encodedLength=\"0\">"), std::string::npos) << out;
    EXPECT_NE(out.find("<binary></binary>"), std::string::npos) << out;
    EXPECT_NE(out.find(zlib ? "MS:1000574" : "MS:1000576"), std::string::npos) << out;
    EXPECT_NE(out.find("MS:1000523"), std::string::npos) << out;
    const std::vector<double> one{1.0};
    std::string filled;
    ASSERT_TRUE(arrays->append(filled, std::span<const double>(one), terms::kMzArray, terms::kMz, ""));
    EXPECT_EQ(filled.find("<binary></binary>"), std::string::npos) << filled;
  }
}

// A reaction's chromatogram states a <precursor> only with something in it
// (its activation is required), a <product> only with its m/z; both come
// before the arrays, as the schema orders them.
TEST(MzmlWriter, ReactionChromatogramElements) {
  struct Case {
    const char* name;
    ReactionSettings settings;
    bool precursor, isolation, energy, product;
  };
  const Case cases[] = {
      {"nothing known", {}, false, false, false, false},
      {"product only", {std::nullopt, 512.25, std::nullopt}, false, false, false, true},
      {"energy only", {std::nullopt, std::nullopt, 22.5}, true, false, true, false},
      {"all three", {400.5, 512.25, 22.5}, true, true, true, true},
  };
  const std::vector<double> times{1.0, 2.0}, values{3.0, 4.0};
  for (const auto& c : cases) {
    std::string out;
    auto arrays = BinaryArrayWriter::create(false);
    ASSERT_TRUE(arrays);
    ASSERT_TRUE(append_chromatogram(out, 3, "mrm_channel=7", terms::kSrmChromatogram, times, values,
                                    IntensityBits::Float32, *arrays, &c.settings));
    EXPECT_NE(out.find("id=\"mrm_channel=7\""), std::string::npos) << c.name;
    EXPECT_NE(out.find("MS:1001473"), std::string::npos) << c.name;
    EXPECT_EQ(out.find("<precursor>") != std::string::npos, c.precursor) << c.name;
    EXPECT_EQ(out.find("<activation>") != std::string::npos, c.precursor) << c.name;
    EXPECT_EQ(out.find("value=\"400.5\"") != std::string::npos, c.isolation) << c.name;
    EXPECT_EQ(out.find("MS:1000045") != std::string::npos, c.energy) << c.name;
    EXPECT_EQ(out.find("<product>") != std::string::npos, c.product) << c.name;
    const auto arrays_at = out.find("<binaryDataArrayList");
    if (c.precursor) {
      EXPECT_LT(out.find("</precursor>"), arrays_at) << c.name;
    }
    if (c.precursor && c.product) {
      EXPECT_LT(out.find("</precursor>"), out.find("<product>")) << c.name;
    }
    if (c.product) {
      EXPECT_LT(out.find("</product>"), arrays_at) << c.name;
    }
  }
}

}  // namespace
}  // namespace karvel::exporter
