#include "posix/executable_replace.h"

#include <errno.h>
#include <unistd.h>

#include <format>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/file_system.h"
#include "core/paths.h"
#include "core/update_run.h"
#include "posix/package_unpack.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using core::ExtendedLengthPath;
using core::PathToUtf8;
using core::RemoveAllQuietly;
using core::RemoveQuietly;

constexpr std::string_view kStagedSuffix = ".new";
constexpr std::string_view kBackupSuffix = ".backup";
constexpr fs::perms kExecutableMode = static_cast<fs::perms>(0755);

fs::path WithSuffix(const fs::path& path, std::string_view suffix) {
  return fs::path(path.native() + std::string(suffix));
}

// The first regular file (links followed) named `name` anywhere below dir.
std::optional<fs::path> FindFileNamed(const fs::path& dir, const fs::path& name) {
  std::error_code ec;
  fs::recursive_directory_iterator it(ExtendedLengthPath(dir),
                                      fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code statusError;
    if (it->path().filename() == name && it->is_regular_file(statusError)) return it->path();
  }
  return std::nullopt;
}

// The new executable: the package itself, or the file of exe's name unpacked from it. Only the
// file name decides, as for unpacking: the folders above it may hold a '?' or '#'.
std::expected<fs::path, std::string> NewExecutable(const fs::path& exe, const fs::path& package,
                                                   const fs::path& unpackDir) {
  if (core::PackageExtension(PathToUtf8(package.filename())).empty()) return package;
  std::error_code ignored;
  RemoveAllQuietly(unpackDir);
  fs::create_directories(ExtendedLengthPath(unpackDir), ignored);
  if (auto extracted = ExtractPackage(package, unpackDir); !extracted) {
    return std::unexpected(extracted.error());
  }
  if (auto found = FindFileNamed(unpackDir, exe.filename())) return *found;
  return std::unexpected(std::format("the package doesn't contain {}", PathToUtf8(exe.filename())));
}

// Makes backup a second name of exe; where hard links are refused, a copy of it. A copy that
// fails (a full disk) is removed: a half-made backup must never be restored over the updater.
std::error_code KeepBackup(const fs::path& exe, const fs::path& backup) {
  RemoveQuietly(backup);
  std::error_code ec;
  fs::create_hard_link(ExtendedLengthPath(exe), ExtendedLengthPath(backup), ec);
  if (!ec) return {};
  fs::copy_file(ExtendedLengthPath(exe), ExtendedLengthPath(backup), ec);
  if (ec) RemoveQuietly(backup);
  return ec;
}

}  // namespace

std::expected<void, std::string> ReplaceExecutable(const fs::path& exe, const fs::path& package,
                                                   const fs::path& unpackDir) {
  const auto source = NewExecutable(exe, package, unpackDir);
  if (!source) return std::unexpected(source.error());

  const fs::path staged = WithSuffix(exe, kStagedSuffix);
  const fs::path backup = WithSuffix(exe, kBackupSuffix);
  std::error_code ec;
  std::error_code ignored;
  // A fresh file, so that a leftover staged file's other names are never written through.
  RemoveQuietly(staged);
  fs::copy_file(ExtendedLengthPath(*source), ExtendedLengthPath(staged),
                fs::copy_options::overwrite_existing, ec);
  if (ec) return std::unexpected(std::format("can't stage the new binary: {}", ec.message()));
  fs::permissions(ExtendedLengthPath(staged), kExecutableMode, fs::perm_options::replace, ignored);
  // Without a whole backup a new binary that can't start could not be undone.
  if (const std::error_code backupError = KeepBackup(exe, backup)) {
    RemoveQuietly(staged);
    return std::unexpected(
        std::format("can't back up {}: {}", PathToUtf8(exe), backupError.message()));
  }

  fs::rename(ExtendedLengthPath(staged), ExtendedLengthPath(exe), ec);
  if (ec) {
    RemoveQuietly(staged);
    RemoveQuietly(backup);
    return std::unexpected(std::format("can't replace {}: {}", PathToUtf8(exe), ec.message()));
  }
  RemoveAllQuietly(unpackDir);
  return {};
}

void RestoreExecutableBackup(const fs::path& exe) {
  const fs::path backup = WithSuffix(exe, kBackupSuffix);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(ExtendedLengthPath(backup), ec))) return;
  fs::rename(ExtendedLengthPath(backup), ExtendedLengthPath(exe), ec);
}

void RemoveExecutableBackup(const fs::path& exe) {
  RemoveQuietly(WithSuffix(exe, kBackupSuffix));
}

std::string ExecSelf(const fs::path& exe, const std::vector<std::string>& args) {
  std::vector<std::string> words;
  words.reserve(args.size() + 1);
  words.push_back(PathToUtf8(exe));
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  execv(ExtendedLengthPath(exe).c_str(), argv.data());
  const int error = errno;
  return std::generic_category().message(error);
}

}  // namespace emberdale::posix
