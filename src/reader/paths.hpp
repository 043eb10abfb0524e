// Path helpers of the reader: joining names to a folder path and testing
// existence the way opening does (following symbolic links).
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace karvel::reader {

inline std::string join_path(std::string_view base, std::string_view name) {
  return (std::filesystem::path(base) / std::filesystem::path(name)).string();
}

// False when the status lookup fails for any reason. A path with a NUL
// byte names no file: the system call would see only the part before it.
inline bool path_exists(const std::string& path) {
  if (path.find('\0') != std::string::npos) return false;
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

}  // namespace karvel::reader
