// config/versions.json in the install directory: what the updater has installed. Reading is
// forgiving (a missing or damaged file reads as nothing installed); saving replaces the file
// atomically through a temporary file beside it. Only the update thread uses it; no locking.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/model.h"

namespace emberdale::core {

// A versions file larger than this is damaged: it reads as empty and is not loaded into memory.
inline constexpr std::size_t kMaxVersionsFileBytes = 1024 * 1024;

// root/config/versions.json, the one place that names the file.
[[nodiscard]] std::filesystem::path VersionsFile(const std::filesystem::path& root);

// The record held by `text`. Anything unusable (not JSON, too deep, not an object, wrong value
// types) reads as empty, member by member. Never throws, logs nothing.
[[nodiscard]] LocalVersions ParseLocalVersions(std::string_view text);

// The file content without the final newline: all five values, two-space indentation, keys in
// byte order, non-ASCII as UTF-8. Invalid UTF-8 in a value is written as U+FFFD. Never throws.
[[nodiscard]] std::string SerializeLocalVersions(const LocalVersions& versions);

// The record in root/config/versions.json; empty when the file is missing, unreadable or larger
// than kMaxVersionsFileBytes.
[[nodiscard]] LocalVersions ReadLocalVersions(const std::filesystem::path& root);

// Writes root/config/versions.json.tmp (creating config/ when missing) and renames it over
// root/config/versions.json. Logs the failure and returns false when the file was not replaced;
// the old file is then untouched.
bool SaveLocalVersions(const std::filesystem::path& root, const LocalVersions& versions);

}  // namespace emberdale::core
