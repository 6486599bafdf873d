#pragma once

#include <filesystem>
#include <string>

// A fresh directory under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Writes `content` to the file at `relative`, creating folders on the way.
  std::filesystem::path Write(const std::string& relative, const std::string& content) const;
  // The plug-in's configuration file below this directory.
  std::filesystem::path WriteConfig(const std::string& content) const;

 private:
  std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);
