#include "tests/support/TempDir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

TempDir::TempDir() {
  static std::atomic<int> sequence{0};
  std::random_device random;
  const auto name =
      "tamsel-test-" + std::to_string(random()) + "-" + std::to_string(sequence.fetch_add(1));
  path_ = std::filesystem::temp_directory_path() / name;
  std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::Write(const std::string& relative,
                                     const std::string& content) const {
  const auto file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out << content;
  return file;
}

std::filesystem::path TempDir::WriteConfig(const std::string& content) const {
  return Write("VelkorApi/Plugins/Tamsel/config.json", content);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}
