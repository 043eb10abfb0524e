#include "support/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace karvel {
namespace {

TEST(Error, DisplayTexts) {
  EXPECT_EQ(Error::parse("AcqData directory not found").display(),
            "parse error: AcqData directory not found");
  const Error io = Error::io_from_errno(ENOENT);
  EXPECT_EQ(io.kind(), Error::Kind::Io);
  EXPECT_EQ(io.os_code(), ENOENT);
  EXPECT_EQ(io.display(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(Error::io_other("failed to fill whole buffer").display(),
            "I/O error: failed to fill whole buffer");
}

TEST(Error, ScanNestsItsCauseInOneLine) {
  const Error inner = Error::parse("LZF: truncated reference byte");
  const Error scan = Error::scan(1234, BlockKind::Profile, inner);
  EXPECT_EQ(scan.display(), "scanId=1234: profile block: parse error: LZF: truncated reference byte");
  ASSERT_NE(scan.source(), nullptr);
  EXPECT_EQ(scan.source()->display(), inner.display());
  EXPECT_EQ(inner.source(), nullptr);
  const Error io_scan = Error::scan(7, BlockKind::Centroid, Error::io_from_errno(ENOENT));
  EXPECT_EQ(io_scan.display(),
            "scanId=7: centroid block: I/O error: No such file or directory (os error 2)");
}

TEST(Error, IoErrorsHaveTheIoErrorAsCause) {
  const Error os = Error::io_from_errno(EISDIR);
  ASSERT_NE(os.source(), nullptr);
  EXPECT_EQ(os.source()->display(), "Is a directory (os error 21)");
  EXPECT_EQ(os.source()->source(), nullptr);
  const auto* cause = dynamic_cast<const IoCause*>(os.source());
  ASSERT_NE(cause, nullptr);
  EXPECT_EQ(cause->os_code(), EISDIR);

  const Error other = Error::io_other("failed to fill whole buffer");
  ASSERT_NE(other.source(), nullptr);
  EXPECT_EQ(other.source()->display(), "failed to fill whole buffer");
  EXPECT_EQ(dynamic_cast<const IoCause&>(*other.source()).os_code(), 0);

  // The whole chain of a failed block: Scan, then Io, then the OS error.
  const Error scan = Error::scan(7, BlockKind::Profile, Error::io_from_errno(ENOENT));
  std::vector<std::string> chain;
  for (const Cause* link = &scan; link != nullptr; link = link->source()) {
    chain.push_back(link->display());
  }
  EXPECT_EQ(chain, (std::vector<std::string>{
                       "scanId=7: profile block: I/O error: No such file or directory (os error 2)",
                       "I/O error: No such file or directory (os error 2)",
                       "No such file or directory (os error 2)"}));
  EXPECT_EQ(Error::parse("x").source(), nullptr);
}

// Each kind a caller acts on differently: its display text, the kind at the
// root of a chain of Scan errors, and the file of an Io error, which the
// display leaves out.
TEST(Error, KindsRootsAndPaths) {
  struct Case {
    Error error;
    Error::Kind root;
    std::string display;
    std::string path;
  };
  const std::vector<Case> cases = {
      {Error::argument("threads must be at least 1"), Error::Kind::Argument,
       "invalid argument: threads must be at least 1", ""},
      {Error::out_of_memory(), Error::Kind::Memory, "out of memory", ""},
      {Error::internal("unexpected"), Error::Kind::Internal, "internal error: unexpected", ""},
      {Error::io_from_errno(ENOENT, "run.d/AcqData/MSScan.bin"), Error::Kind::Io,
       "I/O error: No such file or directory (os error 2)", "run.d/AcqData/MSScan.bin"},
      {Error::io_from_errno(EIO).at_path("MSPeak.bin"), Error::Kind::Io,
       "I/O error: Input/output error (os error 5)", "MSPeak.bin"},
      // A path once set is kept: the innermost open names the file.
      {Error::io_from_errno(EIO, "inner.bin").at_path("outer.bin"), Error::Kind::Io,
       "I/O error: Input/output error (os error 5)", "inner.bin"},
      {Error::parse("x").at_path("ignored.bin"), Error::Kind::Parse, "parse error: x", ""},
      {Error::scan(3, BlockKind::Centroid, Error::out_of_memory()), Error::Kind::Memory,
       "scanId=3: centroid block: out of memory", ""},
      {Error::scan(4, BlockKind::Profile, Error::io_from_errno(ENOENT, "MSProfile.bin")), Error::Kind::Io,
       "scanId=4: profile block: I/O error: No such file or directory (os error 2)", "MSProfile.bin"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.error.root().kind(), c.root) << c.display;
    EXPECT_EQ(c.error.display(), c.display);
    EXPECT_EQ(c.error.root().path(), c.path) << c.display;
  }
}

TEST(Error, DebugNamesVariantAndFields) {
  const Error scan = Error::scan(7, BlockKind::Centroid, Error::parse("bad \"x\""));
  EXPECT_EQ(scan.debug(),
            "Scan { scan_id: 7, block: \"centroid\", source: Parse(\"bad \\\"x\\\"\") }");
}

TEST(Error, CopiesShareTheImmutableCause) {
  const Error scan = Error::scan(1, BlockKind::Profile, Error::parse("x"));
  const Error copy = scan;
  EXPECT_EQ(copy.display(), scan.display());
  EXPECT_EQ(copy.source(), scan.source());
}

}  // namespace
}  // namespace karvel
