// Namespaces and real mounts for tests (root only), invisible elsewhere and gone with the process.
#pragma once

#include <sys/mount.h>

#include <filesystem>
#include <string>

namespace emberdale::test {

// Moves this process into its own mount namespace with private propagation (once; later calls
// repeat the first answer). Empty on success, else the reason ("needs root", ...).
std::string EnterPrivateMountNamespace();

// A mount at `where` (made when missing) while the object lives, in the private mount namespace
// (entered first); error() is empty or the reason.
class ScopedMount {
 public:
  ScopedMount(const ScopedMount&) = delete;
  virtual ~ScopedMount();
  const std::string& error() const { return error_; }

 protected:
  ScopedMount(std::filesystem::path where, const char* source, const char* type,
              unsigned long flags, const char* options);
  std::filesystem::path where_;
  std::string error_, loopDevice_;
};

// A fresh tmpfs: flags such as MS_NOEXEC or MS_RDONLY; "size=64k" makes a disk that is soon full.
struct TmpfsMount : ScopedMount {
  explicit TmpfsMount(std::filesystem::path where, unsigned long flags = 0,
                      const std::string& options = "size=16m")
      : ScopedMount(std::move(where), "emberdale-test", "tmpfs", flags, options.c_str()) {}
};
// `source`, a file or folder, over the existing `target`.
struct BindMount : ScopedMount {
  BindMount(const std::filesystem::path& source, std::filesystem::path target)
      : ScopedMount(std::move(target), source.c_str(), nullptr, MS_BIND, nullptr) {}
};
// An 8 MiB exFAT volume as an external disk: a mkfs.exfat image (`where`.img) on a loop device,
// mounted through FUSE (mount.exfat-fuse). It refuses hard and symbolic links.
struct ExfatMount : ScopedMount {
  explicit ExfatMount(std::filesystem::path where);
};

}  // namespace emberdale::test
