#include "tests/support/sandbox.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <format>

namespace emberdale::test {
namespace {

std::string SystemError(const char* what) {
  return std::string(what) + ": " + strerror(errno);
}

// Runs a shell command, its errors silenced: true when it succeeded; its first output line.
bool Shell(const std::string& command, std::string* firstLine = nullptr) {
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  char line[256] = "";
  for (bool first = true; pipe != nullptr && std::fgets(line, sizeof line, pipe); first = false) {
    if (first && firstLine != nullptr) *firstLine = std::string(line, strcspn(line, "\n"));
  }
  return pipe != nullptr && pclose(pipe) == 0;
}

}  // namespace

std::string EnterPrivateMountNamespace() {
  static const std::string result = [] {
    if (geteuid() != 0) return std::string("needs root");
    if (unshare(CLONE_NEWNS) != 0) return SystemError("unshare(CLONE_NEWNS)");
    const bool made = mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return made ? std::string() : SystemError("making / private");
  }();
  return result;
}

ScopedMount::ScopedMount(std::filesystem::path where, const char* source, const char* type,
                         unsigned long flags, const char* options)
    : where_(std::move(where)) {
  std::error_code ignored;  // a missing folder shows when mounting
  std::filesystem::create_directories(where_, ignored);
  if (error_ = EnterPrivateMountNamespace(); !error_.empty()) return;
  if (source != nullptr && mount(source, where_.c_str(), type, flags, options) != 0) {
    error_ = SystemError("mount");
  }
}

ScopedMount::~ScopedMount() {
  if (error_.empty()) umount2(where_.c_str(), MNT_DETACH);
  if (!loopDevice_.empty()) Shell("losetup -d " + loopDevice_);
}

ExfatMount::ExfatMount(std::filesystem::path where)
    : ScopedMount(std::move(where), nullptr, nullptr, 0, nullptr) {
  if (!error_.empty()) return;
  const std::string image = std::format("'{}.img'", where_.native());
  if (!Shell(std::format("truncate -s 8M {0} && mkfs.exfat {0}", image))) {
    error_ = "can't make an exFAT image (mkfs.exfat, scripts/setup.sh)";
  } else if (!Shell("losetup --find --show " + image, &loopDevice_)) {
    error_ = "no loop device";
  } else if (!Shell(std::format("mount.exfat-fuse {} '{}'", loopDevice_, where_.native()))) {
    error_ = "can't mount exFAT through FUSE (mount.exfat-fuse, /dev/fuse)";
  }
}

}  // namespace emberdale::test
