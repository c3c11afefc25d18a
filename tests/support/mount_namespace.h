// Real mounts for tests that need a second file system at a chosen place (root only). The test
// process moves into a private mount namespace first, so its mounts are invisible to the rest of
// the machine and vanish when the process ends.
#pragma once

#include <filesystem>
#include <string>

namespace emberdale::test {

// Moves the calling process into its own mount namespace with private propagation (once; later
// calls only repeat the first answer). Returns an empty string on success, else the reason.
std::string EnterPrivateMountNamespace();

// Mounts a fresh tmpfs on an existing directory for the object's lifetime (lazily unmounted on
// destruction). Needs EnterPrivateMountNamespace first.
class TmpfsMount {
 public:
  explicit TmpfsMount(std::filesystem::path where);
  ~TmpfsMount();
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;

  // Empty when mounted, else the reason it isn't.
  const std::string& error() const { return error_; }

 private:
  std::filesystem::path where_;
  std::string error_;
};

}  // namespace emberdale::test
