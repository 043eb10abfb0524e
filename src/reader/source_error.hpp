// The one conversion from the reader's errors to the record model's: an I/O
// error passes through as Io, every other error travels as Vendor.
#pragma once

#include "morvane_core/error.hpp"
#include "support/error.hpp"

namespace karvel::reader {

morvane_core::error::Error to_core_error(const Error& error);

}  // namespace karvel::reader
