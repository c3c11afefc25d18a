#include "posix/component_install.h"

#include <chrono>
#include <format>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/file_system.h"
#include "core/interrupted_install.h"
#include "core/logging.h"
#include "core/paths.h"
#include "posix/package_unpack.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using core::EntryExists;
using core::ExtendedLengthPath;
using core::kItemBackupPrefix;
using core::kRuntimeBackupName;
using core::kRuntimeFolderName;
using core::PathToUtf8;
using core::RemoveAllQuietly;

constexpr std::string_view kLauncherStagingName = "staging-launcher";
constexpr std::string_view kRuntimeStagingName = "staging-jre";
// The relative path that identifies the root of a runtime tree.
constexpr std::string_view kRuntimeMarker = "bin/java";
constexpr core::RenameRetry kRuntimeSwapRetry{20, std::chrono::milliseconds(250)};
constexpr fs::perms kExecutableMode = static_cast<fs::perms>(0755);
// Files in a folder of this name, and files of the helper name, get kExecutableMode.
constexpr std::string_view kExecutablesFolderName = "bin";
constexpr std::string_view kSpawnHelperName = "jspawnhelper";

// The package unpacked into the empty staging directory workDir/name (whatever an earlier
// failure left there is removed first).
std::expected<fs::path, std::string> UnpackIntoStaging(const fs::path& package,
                                                       const fs::path& workDir,
                                                       std::string_view name) {
  const fs::path dir = workDir / name;
  RemoveAllQuietly(dir);
  if (auto made = core::CreateDirectories(dir); !made) return std::unexpected(made.error());
  if (auto extracted = ExtractPackage(package, dir); !extracted) {
    return std::unexpected(extracted.error());
  }
  return dir;
}

std::error_code Rename(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(ExtendedLengthPath(from), ExtendedLengthPath(to), ec);
  return ec;
}

// Moves the old runtime folder from the replaced item into the new one, when the new item is a
// directory without a runtime of its own. Returns the rename's error, empty when nothing failed.
std::error_code CarryRuntimeOver(const fs::path& dest, const fs::path& backup) {
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(ExtendedLengthPath(dest), ec))) return {};
  const fs::path oldRuntime = backup / kRuntimeFolderName;
  const fs::path newRuntime = dest / kRuntimeFolderName;
  if (!EntryExists(oldRuntime) || EntryExists(newRuntime)) return {};
  return Rename(oldRuntime, newRuntime);
}

// Puts one top-level item of the staging folder in place of installDir's item of that name.
std::expected<void, std::string> InstallLauncherItem(const fs::path& entry,
                                                     const fs::path& installDir,
                                                     const fs::path& workDir) {
  const fs::path name = entry.filename();
  const fs::path dest = installDir / name;
  const fs::path backup = workDir / (std::string(kItemBackupPrefix) + name.native());
  RemoveAllQuietly(backup);

  const bool movedAside = EntryExists(dest);
  if (movedAside) {
    if (std::error_code ec = Rename(dest, backup)) {
      return std::unexpected(
          std::format("can't move {} aside: {}", PathToUtf8(dest), ec.message()));
    }
  }
  if (std::error_code ec = Rename(entry, dest)) {
    if (movedAside) (void)Rename(backup, dest);
    return std::unexpected(
        std::format("can't move {} into place: {}", PathToUtf8(dest), ec.message()));
  }
  if (std::error_code ec = CarryRuntimeOver(dest, backup)) {
    core::logging::Warn("Couldn't carry the runtime over to {}: {}", PathToUtf8(dest),
                        ec.message());
    // Removing the backup now would delete the installed runtime: put the old item back instead.
    if (!Rename(dest, entry)) (void)Rename(backup, dest);
    return std::unexpected(
        std::format("can't carry the runtime over to {}: {}", PathToUtf8(dest), ec.message()));
  }
  RemoveAllQuietly(backup);
  return {};
}

bool NeedsExecutableMode(const fs::path& path) {
  return path.parent_path().filename() == kExecutablesFolderName ||
         path.filename() == kSpawnHelperName;
}

}  // namespace

std::expected<void, std::string> InstallLauncherPackage(const fs::path& package,
                                                        const fs::path& installDir,
                                                        const fs::path& workDir) {
  if (auto unpacked = UnpackLauncherPackage(package, workDir); !unpacked) {
    return std::unexpected(unpacked.error());
  }
  return PlaceLauncherPackage(installDir, workDir);
}

std::expected<fs::path, std::string> UnpackLauncherPackage(const fs::path& package,
                                                           const fs::path& workDir) {
  return UnpackIntoStaging(package, workDir, kLauncherStagingName);
}

std::expected<void, std::string> PlaceLauncherPackage(const fs::path& installDir,
                                                      const fs::path& workDir) {
  const fs::path staging = workDir / kLauncherStagingName;
  const auto entries = core::ListEntries(staging).value_or(std::vector<fs::path>{});
  if (entries.empty()) return std::unexpected("the launcher package is empty");
  for (const fs::path& entry : entries) {
    if (auto installed = InstallLauncherItem(entry, installDir, workDir); !installed) {
      return installed;
    }
  }
  RemoveAllQuietly(staging);
  return {};
}

std::expected<void, std::string> InstallRuntimePackage(const fs::path& package,
                                                       const fs::path& runtimeDir,
                                                       const fs::path& workDir,
                                                       const core::Sleeper& sleep) {
  if (auto unpacked = UnpackRuntimePackage(package, workDir); !unpacked) return unpacked;
  return PlaceRuntimePackage(runtimeDir, workDir, sleep);
}

std::expected<void, std::string> UnpackRuntimePackage(const fs::path& package,
                                                      const fs::path& workDir) {
  const auto staging = UnpackIntoStaging(package, workDir, kRuntimeStagingName);
  if (!staging) return std::unexpected(staging.error());
  if (!core::HoistSingleWrapperDirectory(*staging, kRuntimeMarker)) {
    return std::unexpected("JRE archive layout not recognized: bin/java not found");
  }
  MakeRuntimeExecutable(*staging);
  return {};
}

std::expected<void, std::string> PlaceRuntimePackage(const fs::path& runtimeDir,
                                                     const fs::path& workDir,
                                                     const core::Sleeper& sleep) {
  const fs::path staging = workDir / kRuntimeStagingName;
  auto replaced = core::ReplaceDirectory(staging, runtimeDir, workDir / kRuntimeBackupName,
                                         kRuntimeSwapRetry, sleep);
  if (!replaced) RemoveAllQuietly(staging);
  return replaced;
}

void MakeRuntimeExecutable(const fs::path& runtimeDir) {
  std::error_code ignored;
  fs::permissions(ExtendedLengthPath(runtimeDir), kExecutableMode, fs::perm_options::replace,
                  ignored);
  std::error_code ec;
  fs::recursive_directory_iterator it(ExtendedLengthPath(runtimeDir),
                                      fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    std::error_code statusError;
    const fs::file_status status = it->symlink_status(statusError);
    if (statusError || fs::is_symlink(status)) continue;
    if (fs::is_directory(status) || NeedsExecutableMode(it->path())) {
      fs::permissions(it->path(), kExecutableMode, fs::perm_options::replace, ignored);
    }
  }
}

}  // namespace emberdale::posix
