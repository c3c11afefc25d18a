// The installers of the launcher and of the Java runtime. Each unpacks an already verified package
// into a fresh staging folder under the work directory and moves the result into place by
// renames, keeping the previous content as a backup until the new content is in place. The two
// halves are also offered apart: unpacking touches only the staging folder and may run on any
// thread, alongside the other component; putting in place runs one installation at a time.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "core/directory_swap.h"

namespace emberdale::posix {

// Replaces each top-level item of installDir that the package contains by the package's item of
// the same name (items the package lacks are left alone). An old "runtime" folder inside a
// replaced directory is carried over into the new one unless the package brings its own; when it
// can't be carried over, that item is put back as it was and the installation fails. Uses
// workDir/"staging-launcher" and workDir/"backup-{name}". A failure leaves the items handled
// before it replaced and the failing item as it was.
[[nodiscard]] std::expected<void, std::string> InstallLauncherPackage(
    const std::filesystem::path& package, const std::filesystem::path& installDir,
    const std::filesystem::path& workDir);
// InstallLauncherPackage in two halves: the package into workDir/"staging-launcher" (returned),
// then its items into installDir.
[[nodiscard]] std::expected<std::filesystem::path, std::string> UnpackLauncherPackage(
    const std::filesystem::path& package, const std::filesystem::path& workDir);
[[nodiscard]] std::expected<void, std::string> PlaceLauncherPackage(
    const std::filesystem::path& installDir, const std::filesystem::path& workDir);

// Replaces runtimeDir as a whole by the package's runtime tree (bin/java at its root, or inside
// one wrapper folder), then restores the executable bits (MakeRuntimeExecutable). The swap
// retries 20 times, 250 ms apart (pauses taken through sleep); on failure the old runtime is put
// back. Uses workDir/"staging-jre" and workDir/"backup-jre".
[[nodiscard]] std::expected<void, std::string> InstallRuntimePackage(
    const std::filesystem::path& package, const std::filesystem::path& runtimeDir,
    const std::filesystem::path& workDir, const core::Sleeper& sleep = core::SleepFor);
// InstallRuntimePackage in two halves: the runtime tree, executable, into workDir/"staging-jre",
// then that tree in place of runtimeDir.
[[nodiscard]] std::expected<void, std::string> UnpackRuntimePackage(
    const std::filesystem::path& package, const std::filesystem::path& workDir);
[[nodiscard]] std::expected<void, std::string> PlaceRuntimePackage(
    const std::filesystem::path& runtimeDir, const std::filesystem::path& workDir,
    const core::Sleeper& sleep = core::SleepFor);

// Sets runtimeDir, every directory below it, every file in a folder named "bin" and every file
// named "jspawnhelper" to mode 0755; other files keep their mode. Symbolic links are neither
// changed nor followed. Failures are ignored.
void MakeRuntimeExecutable(const std::filesystem::path& runtimeDir);

}  // namespace emberdale::posix
