// The install pointer file remembers across runs where the user chose to install. It holds the
// install directory as an absolute path followed by one line feed; only its first line counts.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace emberdale::posix {

// The install directory recorded in `pointerFile`: its first line without trailing carriage
// returns, spaces and slashes. Empty when the file cannot be read, is empty, or its line is not an
// absolute path (does not begin with "/") or holds a NUL byte.
[[nodiscard]] std::optional<std::string> ReadInstallPointer(
    const std::filesystem::path& pointerFile);

// Records `installDir` in `pointerFile`, creating its missing parent folders. The content is
// written and synced to pointerFile + ".tmp", which is then renamed over the pointer file, so a
// reader sees either the old or the new complete pointer. True when the pointer file now holds
// `installDir`; on failure a ".tmp" file may stay behind (the next attempt overwrites it).
[[nodiscard]] bool WriteInstallPointer(const std::filesystem::path& pointerFile,
                                       const std::filesystem::path& installDir);

}  // namespace emberdale::posix
