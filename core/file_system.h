// The file-system calls that the engine, the extractor and the installers share: quiet removals
// and folder creation with the layer's message. Every path goes through ExtendedLengthPath;
// messages show paths as PathToUtf8 gives them. Any thread; nothing throws.
#pragma once

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace emberdale::core {

// Whether an entry of this name is present (a symbolic link counts, dangling or not).
[[nodiscard]] bool EntryExists(const std::filesystem::path& path);

// The direct entries of `dir`, or nothing when it can't be listed completely.
[[nodiscard]] std::optional<std::vector<std::filesystem::path>> ListEntries(
    const std::filesystem::path& dir);

// Removes a file, a link or an empty folder; failures (its absence included) are ignored.
void RemoveQuietly(const std::filesystem::path& path);

// Removes the path and everything below it; failures are ignored.
void RemoveAllQuietly(const std::filesystem::path& path);

// "can't create {directory}: {reason}".
[[nodiscard]] std::string CantCreateMessage(const std::filesystem::path& directory,
                                            const std::error_code& error);

// Creates `directory` and its missing parents. Error: CantCreateMessage.
[[nodiscard]] std::expected<void, std::string> CreateDirectories(
    const std::filesystem::path& directory);

}  // namespace emberdale::core
