// The installers of the launcher and of the Java runtime. Each unpacks an already verified package
// into a fresh staging folder under the work directory and moves the result into place by
// renames, keeping the previous content as a backup until the new content is in place. They run
// on the update thread, one installation at a time.
#pragma once

#include <expected>
#include <filesystem>
#include <functional>
#include <string>

#include "core/directory_swap.h"

namespace emberdale::posix {

// Replaces each top-level item of installDir that the package contains by the package's item of
// the same name (items the package lacks are left alone). An old "runtime" folder inside a
// replaced directory is carried over into the new one unless the package brings its own; when it
// can't be carried over, that item is put back as it was and the installation fails. Uses
// workDir/"staging-launcher" and workDir/"backup-{name}". A failure leaves the items handled
// before it replaced and the failing item as it was. `prepare` is given the unpacked staging
// folder before its first item moves, so that each item goes into place complete (a crash after
// the move must not leave a launcher that can't run).
[[nodiscard]] std::expected<void, std::string> InstallLauncherPackage(
    const std::filesystem::path& package, const std::filesystem::path& installDir,
    const std::filesystem::path& workDir,
    const std::function<void(const std::filesystem::path&)>& prepare = {});

// Replaces runtimeDir as a whole by the package's runtime tree (bin/java at its root, or inside
// one wrapper folder), its executable bits restored (MakeRuntimeExecutable) before it moves. The
// swap retries 20 times, 250 ms apart (pauses taken through sleep); on failure the old runtime is
// put back. Uses workDir/"staging-jre" and workDir/"backup-jre".
[[nodiscard]] std::expected<void, std::string> InstallRuntimePackage(
    const std::filesystem::path& package, const std::filesystem::path& runtimeDir,
    const std::filesystem::path& workDir, const core::Sleeper& sleep = core::SleepFor);

// Sets runtimeDir, every directory below it, every file in a folder named "bin" and every file
// named "jspawnhelper" to mode 0755; other files keep their mode. Symbolic links are neither
// changed nor followed. Failures are ignored.
void MakeRuntimeExecutable(const std::filesystem::path& runtimeDir);

}  // namespace emberdale::posix
