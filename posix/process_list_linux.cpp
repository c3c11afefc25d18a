// Linux: walk /proc and compare the file name of each process's executable (the target of
// /proc/PID/exe, or argv[0] from /proc/PID/cmdline where the link can't be read).
#include <dirent.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "core/ascii.h"
#include "posix/process_list.h"

namespace emberdale::posix {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

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

std::string FileName(std::string path) {
  if (path.ends_with(kDeletedSuffix)) path.resize(path.size() - kDeletedSuffix.size());
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutableName(const std::string& procDir) {
  std::error_code ec;
  const std::filesystem::path target = std::filesystem::read_symlink(procDir + "/exe", ec);
  if (!ec) return FileName(target.native());
  std::ifstream cmdline(procDir + "/cmdline", std::ios::binary);
  std::string argv0;
  std::getline(cmdline, argv0, '\0');
  return FileName(argv0);
}

}  // namespace

bool IsProcessRunning(std::string_view name) {
  const std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
  if (!proc) return false;
  const std::string self = std::to_string(getpid());
  while (const dirent* entry = readdir(proc.get())) {
    if (!IsPid(entry->d_name) || self == entry->d_name) continue;
    if (ExecutableName(std::string("/proc/") + entry->d_name) == name) return true;
  }
  return false;
}

}  // namespace emberdale::posix
