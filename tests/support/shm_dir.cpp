#include "tests/support/shm_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <string>
#include <system_error>

namespace emberdale::test {

ShmDir::ShmDir() {
  std::string pattern = "/dev/shm/emberdale-test-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ShmDir::~ShmDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

bool OnDifferentDevices(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat first {};
  struct stat second {};
  if (a.empty() || b.empty()) return false;
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
  return first.st_dev != second.st_dev;
}

}  // namespace emberdale::test
