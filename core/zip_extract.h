// Safe extraction of ZIP packages. The archive is treated as hostile: the whole central
// directory is planned first (unsafe or over-long names reject the archive, junk entries are
// dropped, and the size, ratio and total limits of the files to be written are checked), and only
// then is anything written, in plan order: a second thread inflates the entries into a few fixed
// buffers while the calling thread makes the folders and files and writes the data into them.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace emberdale::core {

struct ZipExtractOptions {
  // Empty: extract everything. Otherwise extract only the first file entry whose last name
  // component equals this text ignoring ASCII case, written as destination / singleFile.
  std::string singleFile;
  // When every entry lies inside one common top-level folder, extract its contents directly.
  bool stripTopLevelFolder = false;
  // Called on the calling thread after each file is written with (files written so far, planned
  // entries including directories).
  std::function<void(std::uint64_t, std::uint64_t)> progress;
  // Asked on the calling thread before each planned entry; true stops with "cancelled".
  std::function<bool()> cancelled;
};

enum class ZipEntryKind { Extract = 0, Skip = 1, Unsafe = 2 };

// Classifies one stored entry name. Backslashes count as separators; an absolute path, a drive
// letter or a ".." component is Unsafe; empty names, a leading "META-INF" folder, "." components,
// operating-system metadata files, components with ':' or a trailing '.' are Skip. On Extract,
// `normalised` holds the components joined by single '/'; otherwise its content is unspecified.
ZipEntryKind ClassifyZipEntry(std::string_view name, std::string& normalised);

// Extracts `archive` into `destination` (created with missing parents). Refuses the whole
// archive before writing anything when a name is unsafe or too long, or a file to be written is
// too large, suspiciously compressed, or the files together exceed the total limit. Nothing is
// rolled back after a failure while writing: callers extract into a disposable staging folder.
[[nodiscard]] std::expected<void, std::string> ExtractZip(const std::filesystem::path& archive,
                                                          const std::filesystem::path& destination,
                                                          const ZipExtractOptions& options);

}  // namespace emberdale::core
