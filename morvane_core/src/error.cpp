#include "morvane_core/error.hpp"

namespace morvane_core::error {

Error Error::io(IoError error) {
  Error e(Kind::Io);
  e.io_ = std::move(error);
  return e;
}

Error Error::vendor(std::shared_ptr<const VendorError> error) {
  Error e(Kind::Vendor);
  e.vendor_ = std::move(error);
  return e;
}

Error Error::unsupported_format(std::string text) {
  Error e(Kind::UnsupportedFormat);
  e.text_ = std::move(text);
  return e;
}

Error Error::conformance(std::string text) {
  Error e(Kind::Conformance);
  e.text_ = std::move(text);
  return e;
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::Io:
      return "I/O error: " + io_.text;
    case Kind::Vendor:
      return "vendor parser error: " + (vendor_ ? vendor_->display() : std::string());
    case Kind::UnsupportedFormat:
      return "unsupported or unrecognized format: " + text_;
    case Kind::Conformance:
      return "conformance violation: " + text_;
  }
  return {};
}

}  // namespace morvane_core::error
