// The running executable's path on Linux: the link /proc/self/exe stands where macOS asks
// _NSGetExecutablePath.
#include <unistd.h>

#include <filesystem>
#include <string>

#include "app/path_helpers.h"

namespace {

constexpr const char* kSelfExeLink = "/proc/self/exe";
constexpr std::size_t kLinkBufferStartBytes = 256;
constexpr std::size_t kLinkBufferMaxBytes = 1 << 16;

// The target of /proc/self/exe, or empty.
std::string ReadSelfExeLink() {
  std::string buffer(kLinkBufferStartBytes, '\0');
  while (buffer.size() <= kLinkBufferMaxBytes) {
    const ssize_t length = readlink(kSelfExeLink, buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(length));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);  // possibly cut: ask again with more room
  }
  return {};
}

}  // namespace

std::string GetSelfPath() {
  const std::string reported = ReadSelfExeLink();
  if (reported.empty()) return {};
  std::error_code ec;
  const std::filesystem::path canonical = std::filesystem::canonical(reported, ec);
  return ec ? reported : canonical.string();
}
