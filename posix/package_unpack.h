// Unpacking of downloaded packages, chosen by the package file's name: ZIP packages go to the
// safe extractor, gzip-compressed tar packages to the system's tar. Both run on the calling
// thread, log nothing and leave partial output in the destination on failure (callers unpack
// into a disposable staging folder).
#pragma once

#include <expected>
#include <filesystem>
#include <string>

namespace emberdale::posix {

// Unpacks `archive` into `destination` (created when missing) by the lower-cased suffix of the
// archive's file name: ".tar.gz"/".tgz" through ExtractTarGz, ".zip" through core::ExtractZip with
// default options; anything else fails with "unsupported package type: {file name}". The content
// is never sniffed.
[[nodiscard]] std::expected<void, std::string> ExtractPackage(
    const std::filesystem::path& archive, const std::filesystem::path& destination);

// Runs `tar -xzf archive -C destination` (tar from the search path) after creating the
// destination. Errors: "can't create {}: {}" (tar is not started), Run's own error, or
// "tar exited with {code}: {what tar printed on either stream}".
[[nodiscard]] std::expected<void, std::string> ExtractTarGz(
    const std::filesystem::path& archive, const std::filesystem::path& destination);

}  // namespace emberdale::posix
