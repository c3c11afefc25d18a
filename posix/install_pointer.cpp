#include "posix/install_pointer.h"

#include <fcntl.h>
#include <unistd.h>

#include <fstream>
#include <string_view>

#include "core/fd_io.h"
#include "core/unique_fd.h"

namespace emberdale::posix {
namespace {

constexpr std::string_view kTrailingJunk = "\r /";
constexpr std::string_view kTempSuffix = ".tmp";
constexpr mode_t kPointerFileMode = 0644;

// Writes the content to a fresh (truncated) file and makes it durable before it is renamed.
bool WriteDurably(const std::string& path, std::string_view content) {
  core::UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kPointerFileMode));
  if (!fd) return false;
  if (!core::WriteAll(fd.Get(), content) || ::fsync(fd.Get()) != 0) return false;
  return fd.Close();
}

}  // namespace

std::optional<std::string> ReadInstallPointer(const std::filesystem::path& pointerFile) {
  std::ifstream in(pointerFile);
  if (!in) return std::nullopt;
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  while (!line.empty() && kTrailingJunk.find(line.back()) != std::string_view::npos) {
    line.pop_back();
  }
  // A NUL byte would silently cut the path at the first file-system call.
  if (line.empty() || line.front() != '/' || line.find('\0') != std::string::npos) {
    return std::nullopt;
  }
  return line;
}

bool WriteInstallPointer(const std::filesystem::path& pointerFile,
                         const std::filesystem::path& installDir) {
  std::error_code ec;
  std::filesystem::create_directories(pointerFile.parent_path(), ec);  // later steps fail instead
  const std::string temp = pointerFile.native() + std::string(kTempSuffix);
  if (!WriteDurably(temp, installDir.native() + "\n")) return false;
  std::filesystem::rename(temp, pointerFile, ec);
  return !ec;
}

}  // namespace emberdale::posix
