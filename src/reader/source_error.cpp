#include "reader/source_error.hpp"

#include <memory>

namespace karvel::reader {
namespace {

class ReaderVendorError final : public morvane_core::error::VendorError {
 public:
  explicit ReaderVendorError(Error error) : error_(std::move(error)) {}
  std::string display() const override { return error_.display(); }

 private:
  Error error_;
};

}  // namespace

morvane_core::error::Error to_core_error(const Error& error) {
  if (error.kind() == Error::Kind::Io) {
    return morvane_core::error::Error::io({error.os_code(), error.text()});
  }
  return morvane_core::error::Error::vendor(std::make_shared<ReaderVendorError>(error));
}

}  // namespace karvel::reader
