#include "tests/support/temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace emberdale::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "emberdale-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests make folders read-only to provoke failures; give the owner its rights back first.
  for (auto it = std::filesystem::recursive_directory_iterator(
           path_, std::filesystem::directory_options::skip_permission_denied, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      chmod(it->path().c_str(), 0755);
    }
  }
  chmod(path_.c_str(), 0755);
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::filesystem::path& path, std::string_view content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("can't write " + path.string());
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

Tree ReadTree(const std::filesystem::path& root) {
  Tree tree;
  for (const auto& item : std::filesystem::recursive_directory_iterator(root)) {
    const std::string relative = item.path().native().substr(root.native().size() + 1);
    tree[relative] = item.is_directory() ? "<dir>" : ReadFile(item.path());
  }
  return tree;
}

}  // namespace emberdale::test
