#include "tests/support/mount_namespace.h"

#include <errno.h>
#include <sched.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

namespace emberdale::test {
namespace {

std::string SystemError(const char* what) {
  return std::string(what) + ": " + strerror(errno);
}

std::string EnterOnce() {
  if (geteuid() != 0) return "needs root";
  if (unshare(CLONE_NEWNS) != 0) return SystemError("unshare(CLONE_NEWNS)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return SystemError("making / private");
  }
  return {};
}

}  // namespace

std::string EnterPrivateMountNamespace() {
  static const std::string result = EnterOnce();
  return result;
}

TmpfsMount::TmpfsMount(std::filesystem::path where) : where_(std::move(where)) {
  if (mount("emberdale-test", where_.c_str(), "tmpfs", 0, "size=16m") != 0) {
    error_ = SystemError("mounting a tmpfs");
  }
}

TmpfsMount::~TmpfsMount() {
  if (error_.empty()) umount2(where_.c_str(), MNT_DETACH);
}

}  // namespace emberdale::test
