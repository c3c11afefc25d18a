// Namespaces and real mounts for tests (root only), invisible elsewhere and gone with the process.
#pragma once

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <format>
#include <string>

namespace emberdale::test {

// Moves this process into its own mount namespace with private propagation (once; later calls
// repeat the first answer). Empty on success, else the reason ("needs root", ...).
inline std::string EnterPrivateMountNamespace() {
  static const std::string result = [] {
    if (geteuid() != 0) return std::string("needs root");
    if (unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + strerror(errno);
    const bool made = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return made ? std::string() : std::string("making / private: ") + strerror(errno);
  }();
  return result;
}

// Runs a shell command, its errors silenced: true when it succeeded; all it wrote, when asked.
inline bool Shell(const std::string& command, std::string* output = nullptr) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  std::string text;
  for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) text += static_cast<char>(c);
  if (output != nullptr) *output = std::move(text);
  return pipe != nullptr && pclose(pipe) == 0;
}

// A mount at `where` (made when missing) while the object lives, in the private mount namespace
// (entered first); error() is empty or the reason.
class ScopedMount {
 public:
  ScopedMount(const ScopedMount&) = delete;
  virtual ~ScopedMount() {
    if (error_.empty()) umount2(where_.c_str(), MNT_DETACH);
    if (!loopDevice_.empty()) Shell("losetup -d " + loopDevice_);
  }
  const std::string& error() const { return error_; }

 protected:
  ScopedMount(std::filesystem::path where, const char* source, const char* type,
              unsigned long flags, const char* options)
      : where_(std::move(where)), error_(EnterPrivateMountNamespace()) {
    std::error_code ignored;  // a missing folder shows when mounting
    std::filesystem::create_directories(where_, ignored);
    if (!error_.empty() || source == nullptr) return;
    if (mount(source, where_.c_str(), type, flags, options) != 0)
      error_ = std::string("mount: ") + strerror(errno);
  }
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
  explicit ExfatMount(std::filesystem::path where)
      : ScopedMount(std::move(where), nullptr, nullptr, 0, nullptr) {
    const std::string image = std::format("'{}.img'", where_.native());
    if (error_.empty() &&
        !(Shell(std::format("truncate -s 8M {0} && mkfs.exfat {0}", image)) &&
          Shell("losetup --find --show " + image + " | tr -d '\\n'", &loopDevice_) &&
          Shell(std::format("mount.exfat-fuse {} '{}'", loopDevice_, where_.native())))) {
      error_ = "can't mount an exFAT image (mkfs.exfat, losetup, mount.exfat-fuse, /dev/fuse)";
    }
  }
};

}  // namespace emberdale::test
