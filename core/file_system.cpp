#include "core/file_system.h"

#include <format>

#include "core/paths.h"

namespace emberdale::core {

bool EntryExists(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(ExtendedLengthPath(path), ec));
}

std::optional<std::vector<std::filesystem::path>> ListEntries(const std::filesystem::path& dir) {
  std::error_code ec;
  std::vector<std::filesystem::path> entries;
  std::filesystem::directory_iterator it(ExtendedLengthPath(dir), ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    entries.push_back(it->path());
  }
  if (ec) return std::nullopt;
  return entries;
}

void RemoveQuietly(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove(ExtendedLengthPath(path), ignored);
}

void RemoveAllQuietly(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::remove_all(ExtendedLengthPath(path), ignored);
}

std::string CantCreateMessage(const std::filesystem::path& directory,
                              const std::error_code& error) {
  return std::format("can't create {}: {}", PathToUtf8(directory), error.message());
}

std::expected<void, std::string> CreateDirectories(const std::filesystem::path& directory) {
  std::error_code error;
  std::filesystem::create_directories(ExtendedLengthPath(directory), error);
  if (error) return std::unexpected(CantCreateMessage(directory, error));
  return {};
}

}  // namespace emberdale::core
