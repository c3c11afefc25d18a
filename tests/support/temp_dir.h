// A fresh temporary folder for one test, removed with everything in it when the object dies, and
// small file helpers.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <string_view>

namespace emberdale::test {

class TempDir {
 public:
  TempDir();
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
  TempDir(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
  std::error_code ignored_;
};

// Writes a file, making its folders; throws when it can't. ReadFile gives "" for a missing file.
void WriteFile(const std::filesystem::path& path, std::string_view content);
std::string ReadFile(const std::filesystem::path& path);
// The tree under `root`: relative path -> file content, or "<dir>" for a folder.
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::filesystem::path& root);

}  // namespace emberdale::test
