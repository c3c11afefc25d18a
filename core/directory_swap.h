// Directory swap primitives: the building blocks with which the installers put freshly unpacked
// content in place of installed content. Every move is a rename of a whole entry, so a target is
// at every moment the complete old content, the complete new content, or absent while the old
// content waits at its backup. All file-system calls use their error-code forms.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>

namespace emberdale::core {

// How often a rename is tried and how long to pause between two attempts.
struct RenameRetry {
  std::int32_t attempts = 1;           // at least 1
  std::chrono::milliseconds delay{0};  // 0 or less: no pause
};

// Pauses the calling thread; injectable so that tests count pauses instead of sleeping.
using Sleeper = std::function<void(std::chrono::milliseconds)>;

// The sleeper used unless a caller passes its own: std::this_thread::sleep_for.
void SleepFor(std::chrono::milliseconds delay);

// Makes root/marker reachable when everything was unpacked into one top folder: when root holds
// exactly one directory that contains the marker, that directory's entries are moved up into root
// (one level only). Returns true when root/marker exists afterwards. Never throws.
[[nodiscard]] bool HoistSingleWrapperDirectory(const std::filesystem::path& root,
                                               const std::filesystem::path& marker);

// Swaps staged in as target: the old target is renamed to backup, staged renamed to target, and
// the backup removed. When the new content can't be moved in, the old content is renamed back.
// Renames retry as RenameWithRetry does. Blocks the calling thread for the retries.
[[nodiscard]] std::expected<void, std::string> ReplaceDirectory(const std::filesystem::path& staged,
                                                                const std::filesystem::path& target,
                                                                const std::filesystem::path& backup,
                                                                RenameRetry retry,
                                                                const Sleeper& sleep = SleepFor);

// Renames from to to, up to retry.attempts times with retry.delay between attempts, and gives up
// at once when from has disappeared. Returns the error of the last attempt, empty on success.
[[nodiscard]] std::error_code RenameWithRetry(const std::filesystem::path& from,
                                              const std::filesystem::path& to, RenameRetry retry,
                                              const Sleeper& sleep = SleepFor);

}  // namespace emberdale::core
