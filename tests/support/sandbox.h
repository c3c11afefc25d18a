// Namespaces and real mounts for tests that need them (root only). The test process first moves
// into a private mount namespace, so its mounts are invisible to the rest of the machine and vanish
// with the process. A mount lives as long as its object; error() is empty when it was made, else
// the reason, for the test to skip or fail with.
#pragma once

#include <filesystem>
#include <string>

namespace emberdale::test {

// Moves the calling process into its own mount namespace with private propagation (once; later
// calls repeat the first answer). Empty on success, else the reason ("needs root", ...).
std::string EnterPrivateMountNamespace();

class ScopedMount {
 public:
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;
  virtual ~ScopedMount();  // unmounts (lazily) and releases the loop device
  const std::string& error() const { return error_; }

 protected:
  explicit ScopedMount(std::filesystem::path where) : where_(std::move(where)) {}
  void Mount(const char* source, const char* type, unsigned long flags, const char* options);

  std::filesystem::path where_;
  std::string error_;
  bool mounted_ = false;
  std::string loopDevice_;
};

// A fresh tmpfs on the existing folder `where`: flags such as MS_NOEXEC or MS_RDONLY, options as
// mount(8) takes them ("size=64k" makes a disk that is soon full).
class TmpfsMount : public ScopedMount {
 public:
  explicit TmpfsMount(std::filesystem::path where, unsigned long flags = 0,
                      const std::string& options = "size=16m");
};

// `source` (a file or folder) mounted over the existing `target`.
class BindMount : public ScopedMount {
 public:
  BindMount(const std::filesystem::path& source, std::filesystem::path target);
};

// An 8 MiB exFAT volume (mkfs.exfat image `where`.img on a loop device, mount.exfat-fuse) on the
// existing folder `where`, as an external disk would be. It refuses hard and symbolic links.
class ExfatMount : public ScopedMount {
 public:
  explicit ExfatMount(std::filesystem::path where);
};

}  // namespace emberdale::test
