#include "support/error.hpp"

#include <cstring>
#include <exception>
#include <new>

#include "support/format.hpp"

namespace karvel {

std::string_view block_kind_name(BlockKind kind) noexcept {
  return kind == BlockKind::Profile ? "profile" : "centroid";
}

Error Error::io_from_errno(int os_code, std::string path) {
  char buffer[256];
  // GNU strerror_r returns the message, which may or may not live in buffer.
  const char* message = strerror_r(os_code, buffer, sizeof buffer);
  Error error(Kind::Io, str_cat(message, " (os error ", os_code, ")"));
  error.os_code_ = os_code;
  error.path_ = std::move(path);
  error.io_ = std::make_shared<const IoCause>(os_code, error.text_);
  return error;
}

Error Error::io_other(std::string text) {
  Error error(Kind::Io, std::move(text));
  error.io_ = std::make_shared<const IoCause>(0, error.text_);
  return error;
}

Error Error::parse(std::string message) { return Error(Kind::Parse, std::move(message)); }

Error Error::argument(std::string message) { return Error(Kind::Argument, std::move(message)); }

Error Error::out_of_memory() { return Error(Kind::Memory, "out of memory"); }

Error Error::internal(std::string message) { return Error(Kind::Internal, std::move(message)); }

Error Error::of_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  } catch (const std::exception& error) {
    return internal(error.what());
  } catch (...) {
    return internal("an exception that is not a std::exception");
  }
}

Error Error::at_path(const std::string& path) && {
  if (kind_ == Kind::Io && path_.empty()) path_ = path;
  return std::move(*this);
}

const Error& Error::root() const noexcept {
  const Error* root = this;
  while (root->kind_ == Kind::Scan) root = root->inner_.get();
  return *root;
}

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
    case Kind::Argument:
      return str_cat("invalid argument: ", text_);
    case Kind::Memory:
      return text_;
    case Kind::Internal:
      return str_cat("internal error: ", text_);
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
    case Kind::Argument:
      return str_cat("Argument(", format_quoted(text_), ")");
    case Kind::Memory:
      return "Memory";
    case Kind::Internal:
      return str_cat("Internal(", format_quoted(text_), ")");
  }
  return {};
}

}  // namespace karvel
