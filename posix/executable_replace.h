// Replacing the updater's own executable and restarting it in place. Next to the running
// executable `exe` live `exe`.new (the new binary while it is staged) and `exe`.backup (the
// previous binary, kept until the next start removes it or a failed restart puts it back).
// Called on the update thread (ReplaceExecutable, RestoreExecutableBackup, ExecSelf) and at
// start-up (RemoveExecutableBackup).
#pragma once

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace emberdale::posix {

// Puts the new executable in place of exe by a rename, keeping the old one as exe.backup.
// A package with an archive extension is unpacked into unpackDir (emptied first) and searched
// recursively for a regular file named like exe; a package without one is the executable itself.
// On failure exe is unchanged and neither side file is left.
[[nodiscard]] std::expected<void, std::string> ReplaceExecutable(
    const std::filesystem::path& exe, const std::filesystem::path& package,
    const std::filesystem::path& unpackDir);

// Renames exe.backup back onto exe when it exists; failures are ignored.
void RestoreExecutableBackup(const std::filesystem::path& exe);

// Removes exe.backup; failures (its absence included) are ignored.
void RemoveExecutableBackup(const std::filesystem::path& exe);

// Replaces the process image with exe, given exe's path followed by args as its arguments and
// the current environment (execv: no search path). Returns only on failure, with the system's
// error text.
[[nodiscard]] std::string ExecSelf(const std::filesystem::path& exe,
                                   const std::vector<std::string>& args);

}  // namespace emberdale::posix
