// The optional XML side files of AcqData: reading them is done here, decoding
// by raw::metadata. Nothing here fails; problems give absent values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "raw/metadata.hpp"
#include "reader/integrity.hpp"

namespace karvel::reader {

// The whole file; nothing, silently, when it does not exist, and nothing
// after the warning "{path}: read failed: {error}" (target
// "karvel::raw::metadata") for any other failure.
// events, when given, counts such a failure as an unreadable side file.
std::optional<std::vector<std::uint8_t>> read_optional_file(const std::string& path,
                                                            IntegrityLog* events = nullptr);

// The device named by acq/Devices.xml. A file that exists but is not
// UTF-8 XML is counted in events, when given.
std::optional<raw::metadata::DeviceInfo> read_device_info(const std::string& acq,
                                                          IntegrityLog* events = nullptr);

// The acquisition time of acq/Contents.xml; events as for read_device_info.
std::optional<std::string> read_acquired_time(const std::string& acq, IntegrityLog* events = nullptr);

}  // namespace karvel::reader
