// A fresh temporary directory per test, removed with everything in it when
// the test ends, and small file helpers for tests.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace quarn::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(std::string_view name) const { return (path_ / name).string(); }
  // Writes `content` to `name` inside the directory (bytes, as given).
  void write(std::string_view name, std::string_view content) const;
  std::string read(std::string_view name) const;
  bool exists(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

void write_file(const std::string& path, std::string_view content);
// The whole file, or empty when it cannot be read.
std::string read_file(const std::string& path);

// Runs the rest of the scope in another working directory.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::filesystem::path& dir);
  ~ScopedCwd();

 private:
  std::filesystem::path old_;
};

}  // namespace quarn::testing
