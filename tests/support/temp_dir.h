// A fresh temporary folder for one test, removed with everything in it when the object dies, and
// small file helpers.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

namespace emberdale::test {

class TempDir {
 public:
  TempDir() {
    std::string pattern = std::filesystem::temp_directory_path() / "emberdale-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
  TempDir(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
  std::error_code ignored_;
};

// Writes a file, making its folders; throws when it can't. ReadFile gives "" for a missing file.
inline void WriteFile(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out.write(content.data(), std::ssize(content)))
    throw std::runtime_error("can't write " + path.native());
}
inline std::string ReadFile(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// The tree under `root`: relative path -> file content, or "<dir>" for a folder.
using Tree = std::map<std::string, std::string>;
inline Tree ReadTree(const std::filesystem::path& root) {
  Tree tree;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    tree[item.path().lexically_relative(root)] = item.is_directory() ? "<dir>" : ReadFile(item);
  }
  return tree;
}

}  // namespace emberdale::test
