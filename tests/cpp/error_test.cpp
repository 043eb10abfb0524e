#include "support/error.hpp"

#include <gtest/gtest.h>

#include <cerrno>

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
