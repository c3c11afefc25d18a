#include "posix/package_unpack.h"

#include <format>

#include "core/file_system.h"
#include "core/paths.h"
#include "core/update_run.h"
#include "core/zip_extract.h"
#include "posix/process.h"

namespace emberdale::posix {

using core::ExtendedLengthPath;
using core::PathToUtf8;

std::expected<void, std::string> ExtractPackage(const std::filesystem::path& archive,
                                                const std::filesystem::path& destination) {
  // Only the file name decides: PackageExtension cuts its text at '?' or '#', which may occur in
  // the folders above the package.
  const std::string fileName = PathToUtf8(archive.filename());
  const std::string extension = core::PackageExtension(fileName);
  if (extension == ".tar.gz" || extension == ".tgz") return ExtractTarGz(archive, destination);
  if (extension == ".zip") return core::ExtractZip(archive, destination, core::ZipExtractOptions{});
  return std::unexpected(std::format("unsupported package type: {}", fileName));
}

std::expected<void, std::string> ExtractTarGz(const std::filesystem::path& archive,
                                              const std::filesystem::path& destination) {
  if (auto made = core::CreateDirectories(destination); !made) return made;
  RunOptions options;  // the caller's working directory
  options.captureOutput = true;
  options.captureStderr = true;
  // GNU tar undoes backslash escapes in the folder it is given, so an install folder with a "\"
  // in its name would be missed; --no-unquote takes the names as they are.
  const auto ran = Run({"tar", "--no-unquote", "-xzf", ExtendedLengthPath(archive).native(), "-C",
                        ExtendedLengthPath(destination).native()},
                       options);
  if (!ran) return std::unexpected(ran.error());
  if (ran->exitCode != 0) {
    return std::unexpected(std::format("tar exited with {}: {}", ran->exitCode, ran->output));
  }
  return {};
}

}  // namespace emberdale::posix
