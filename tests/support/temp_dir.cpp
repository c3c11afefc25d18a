#include "tests/support/temp_dir.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace emberdale::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "emberdale-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

void WriteFile(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("can't write " + path.string());
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

Tree ReadTree(const std::filesystem::path& root) {
  Tree tree;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    tree[item.path().lexically_relative(root)] = item.is_directory() ? "<dir>" : ReadFile(item);
  }
  return tree;
}

}  // namespace emberdale::test
