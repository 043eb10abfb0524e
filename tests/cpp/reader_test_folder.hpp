// Temporary data folders for reader tests: a fresh directory with AcqData,
// removed again when the test ends.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace karvel::testing {

class TestFolder {
 public:
  explicit TestFolder(std::string_view name = "run.d") {
    std::string pattern = (std::filesystem::temp_directory_path() / "karvel-test-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    path_ = (root_ / std::string(name)).string();
    std::filesystem::create_directories(acq());
  }
  ~TestFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::string& path() const { return path_; }
  std::filesystem::path acq() const { return std::filesystem::path(path_) / "AcqData"; }

  void write(std::string_view name, std::string_view content) const {
    std::ofstream(acq() / std::string(name), std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
  }
  void write(std::string_view name, const std::vector<std::uint8_t>& bytes) const {
    write(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }

 private:
  std::filesystem::path root_;
  std::string path_;
};

}  // namespace karvel::testing
