#include "support/error.hpp"

#include <cstring>

#include "support/format.hpp"

namespace karvel {

std::string_view block_kind_name(BlockKind kind) noexcept {
  return kind == BlockKind::Profile ? "profile" : "centroid";
}

Error Error::io_from_errno(int os_code) {
  char buffer[256];
  // GNU strerror_r returns the message, which may or may not live in buffer.
  const char* message = strerror_r(os_code, buffer, sizeof buffer);
  Error error(Kind::Io, str_cat(message, " (os error ", os_code, ")"));
  error.os_code_ = os_code;
  error.io_ = std::make_shared<const IoCause>(os_code, error.text_);
  return error;
}

Error Error::io_other(std::string text) {
  Error error(Kind::Io, std::move(text));
  error.io_ = std::make_shared<const IoCause>(0, error.text_);
  return error;
}

Error Error::parse(std::string message) { return Error(Kind::Parse, std::move(message)); }

Error Error::scan(std::uint32_t scan_id, BlockKind block, Error source) {
  Error error(Kind::Scan, std::string());
  error.scan_id_ = scan_id;
  error.block_ = block;
  error.inner_ = std::make_shared<const Error>(std::move(source));
  return error;
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::Io:
      return str_cat("I/O error: ", text_);
    case Kind::Parse:
      return str_cat("parse error: ", text_);
    case Kind::Scan:
      return str_cat("scanId=", scan_id_, ": ", block_kind_name(block_), " block: ",
                     inner_->display());
  }
  return {};
}

std::string Error::debug() const {
  switch (kind_) {
    case Kind::Io:
      return str_cat("Io(", format_quoted(text_), ")");
    case Kind::Parse:
      return str_cat("Parse(", format_quoted(text_), ")");
    case Kind::Scan:
      return str_cat("Scan { scan_id: ", scan_id_, ", block: ",
                     format_quoted(block_kind_name(block_)), ", source: ", inner_->debug(), " }");
  }
  return {};
}

}  // namespace karvel
