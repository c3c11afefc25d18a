#include "app/path_helpers.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <vector>

#include "core/interrupted_install.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\r";
constexpr std::string_view kBundleExtension = ".app";
constexpr std::string_view kLineSeparator = " | ";
constexpr std::size_t kLastLinesMaxBytes = 200;
// Buffer sizes tried for one password-database entry; a larger entry counts as none.
constexpr std::size_t kPasswdBufferStartBytes = 1024;
constexpr std::size_t kPasswdBufferMaxBytes = 1 << 20;

// The home folder recorded for the real user id. getpwuid_r keeps the helpers reentrant.
std::string PasswdHomeDir() {
  std::vector<char> buffer(kPasswdBufferStartBytes);
  while (true) {
    passwd entry{};
    passwd* found = nullptr;
    const int rc = getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc == ERANGE && buffer.size() < kPasswdBufferMaxBytes) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_dir == nullptr) return {};
    return found->pw_dir;
  }
}

// The part of the path's last component from its last dot, or empty.
std::string_view LastComponentExtension(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? std::string_view{} : name.substr(dot);
}

}  // namespace

std::string SelfBundle() {
  const std::string self = GetSelfPath();
  if (self.empty()) return {};
  const std::string bundle = fs::path(self).parent_path().parent_path().parent_path().string();
  return LastComponentExtension(bundle) == kBundleExtension ? bundle : std::string{};
}

std::string GetHomeDir() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return home;
  return PasswdHomeDir();
}

std::string FindLauncherExe(const std::string& installDir) {
  const fs::path launcher = fs::path(installDir) / "Contents" / "MacOS" / "EmberdaleLauncher";
  std::error_code ec;
  const fs::file_status status = fs::status(launcher, ec);
  if (ec || !fs::is_regular_file(status)) return {};
  return launcher.string();
}

std::string JavaHome(const std::string& installDir) {
  return emberdale::core::RuntimeHome(installDir).string();
}

std::string Trim(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kWhiteSpace);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kWhiteSpace);
  return std::string(text.substr(first, last - first + 1));
}

std::string LastLines(const std::string& path, unsigned count) {
  std::deque<std::string> kept;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::string trimmed = Trim(line);
    if (trimmed.empty()) continue;
    kept.push_back(std::move(trimmed));
    if (kept.size() > count) kept.pop_front();
  }
  std::string joined;
  for (const std::string& kept_line : kept) {
    if (!joined.empty()) joined += kLineSeparator;
    joined += kept_line;
  }
  if (joined.size() > kLastLinesMaxBytes) joined.erase(0, joined.size() - kLastLinesMaxBytes);
  return joined;
}
