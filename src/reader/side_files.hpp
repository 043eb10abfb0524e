// The optional XML side files of AcqData: reading them is done here, decoding
// by raw::metadata. Nothing here fails; problems give absent values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "raw/metadata.hpp"

namespace karvel::reader {

// The whole file; nothing, silently, when it does not exist, and nothing
// after the warning "{path}: read failed: {error}" (target
// "karvel::raw::metadata") for any other failure.
std::optional<std::vector<std::uint8_t>> read_optional_file(const std::string& path);

// The device named by acq/Devices.xml.
std::optional<raw::metadata::DeviceInfo> read_device_info(const std::string& acq);

// The acquisition time of acq/Contents.xml.
std::optional<std::string> read_acquired_time(const std::string& acq);

}  // namespace karvel::reader
