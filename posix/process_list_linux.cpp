// Linux: walk /proc and compare the file name of each process's executable (the target of
// /proc/PID/exe, or argv[0] from /proc/PID/cmdline where the link can't be read). The walk runs
// at every start, over every process of the machine: one system call and no allocation for each
// process whose link can be read.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "core/ascii.h"
#include "core/unique_fd.h"
#include "posix/process_list.h"

namespace emberdale::posix {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";
// Room for a whole path (PATH_MAX) and the suffix the kernel adds to a deleted executable's.
constexpr std::size_t kLinkBufferBytes = 4096 + kDeletedSuffix.size();
// Room for "PID/cmdline".
constexpr std::size_t kEntryPathBytes = 64;
constexpr std::size_t kCmdlineChunkBytes = 512;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool IsPid(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (!core::IsAsciiDigit(*name)) return false;
  }
  return true;
}

std::string_view FileName(std::string_view path) {
  if (path.ends_with(kDeletedSuffix)) path.remove_suffix(kDeletedSuffix.size());
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// argv[0] of the process whose /proc folder is `pid`, read from proc's folder `procFd`; empty when
// it can't be read.
std::string FirstArgument(int procFd, const char* pid) {
  char path[kEntryPathBytes];
  std::snprintf(path, sizeof path, "%s/cmdline", pid);
  const core::UniqueFd cmdline(openat(procFd, path, O_RDONLY | O_CLOEXEC));
  std::string argv0;
  char buffer[kCmdlineChunkBytes];
  ssize_t count = 0;
  while (cmdline && (count = read(cmdline.Get(), buffer, sizeof buffer)) > 0) {
    const std::string_view chunk(buffer, static_cast<std::size_t>(count));
    const std::size_t end = chunk.find('\0');
    argv0.append(chunk.substr(0, end));
    if (end != std::string_view::npos) break;
  }
  return argv0;
}

bool ExecutableNamed(int procFd, const char* pid, std::string_view name) {
  char path[kEntryPathBytes];
  std::snprintf(path, sizeof path, "%s/exe", pid);
  char target[kLinkBufferBytes];
  const ssize_t length = readlinkat(procFd, path, target, sizeof target);
  if (length >= 0 && static_cast<std::size_t>(length) < sizeof target) {
    return FileName(std::string_view(target, static_cast<std::size_t>(length))) == name;
  }
  // No executable at all: a kernel thread, or a process that has just ended. Neither has
  // arguments to look at.
  if (length < 0 && errno == ENOENT) return false;
  return FileName(FirstArgument(procFd, pid)) == name;
}

}  // namespace

bool IsProcessRunning(std::string_view name) {
  const std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
  if (!proc) return false;
  const int procFd = dirfd(proc.get());
  const std::string self = std::to_string(getpid());
  while (const dirent* entry = readdir(proc.get())) {
    if (!IsPid(entry->d_name) || self == entry->d_name) continue;
    if (ExecutableNamed(procFd, entry->d_name, name)) return true;
  }
  return false;
}

}  // namespace emberdale::posix
