#include "posix/install_volume.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace emberdale::posix {
namespace {

bool MountedNoExec(const std::filesystem::path& dir) {
  struct statvfs info {};
  return ::statvfs(dir.c_str(), &info) == 0 && (info.f_flag & ST_NOEXEC) != 0;
}

// The errors with which a file system says it cannot hold symbolic links at all. exFAT mounted
// through FUSE answers ENOSYS.
bool RefusesSymlinks(int error) {
  return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

}  // namespace

std::optional<VolumeProblem> CheckInstallVolume(const std::filesystem::path& dir) {
  if (MountedNoExec(dir)) return VolumeProblem::NoExec;
  const std::filesystem::path probe =
      dir / (std::string(kVolumeProbePrefix) + std::to_string(::getpid()));
  std::error_code ec;
  std::filesystem::remove(probe, ec);
  if (::symlink(".", probe.c_str()) == 0) {
    std::filesystem::remove(probe, ec);
    return std::nullopt;
  }
  if (RefusesSymlinks(errno)) return VolumeProblem::NoSymlinks;
  return std::nullopt;
}

}  // namespace emberdale::posix
