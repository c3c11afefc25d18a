// A temporary directory on /dev/shm (a tmpfs), removed with everything in it when the object dies.
// Tests use it to make a rename fail for real: rename(2) between it and a TempDir on another file
// system fails with EXDEV, even for root.
#pragma once

#include <filesystem>
#include <string_view>

namespace emberdale::test {

class ShmDir {
 public:
  ShmDir();
  ~ShmDir();
  ShmDir(const ShmDir&) = delete;
  ShmDir& operator=(const ShmDir&) = delete;

  // Empty when /dev/shm is missing or the directory couldn't be made.
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// True when both paths exist and lie on different file systems (so a rename between them fails).
bool OnDifferentDevices(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace emberdale::test
