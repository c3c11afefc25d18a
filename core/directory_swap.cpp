#include "core/directory_swap.h"

#include <algorithm>
#include <format>
#include <optional>
#include <thread>
#include <vector>

#include "core/file_system.h"
#include "core/paths.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;

// Temporary name of the wrapper folder while its entries are moved up.
constexpr std::string_view kHoistWrapperName = ".hoist-wrapper";

bool Exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(ExtendedLengthPath(path), ec);
}

// The single entry of root when it is a real directory (not a link) that contains marker.
std::optional<fs::path> SingleWrapperHolding(const fs::path& root, const fs::path& marker) {
  const auto entries = ListEntries(root);
  if (!entries || entries->size() != 1) return std::nullopt;
  const fs::path& entry = entries->front();
  std::error_code ec;
  // A link would make the hoist move entries out of wherever it points, outside root.
  if (!fs::is_directory(fs::symlink_status(ExtendedLengthPath(entry), ec))) return std::nullopt;
  if (!Exists(entry / marker)) return std::nullopt;
  return entry;
}

}  // namespace

void SleepFor(std::chrono::milliseconds delay) {
  std::this_thread::sleep_for(delay);
}

bool HoistSingleWrapperDirectory(const fs::path& root, const fs::path& marker) {
  if (Exists(root / marker)) return true;
  const auto wrapper = SingleWrapperHolding(root, marker);
  if (!wrapper) return false;

  const fs::path hoisted = root / kHoistWrapperName;
  std::error_code ec;
  fs::rename(ExtendedLengthPath(*wrapper), ExtendedLengthPath(hoisted), ec);
  if (ec) return false;
  const auto entries = ListEntries(hoisted);
  if (!entries) return false;
  for (const fs::path& entry : *entries) {
    fs::rename(ExtendedLengthPath(entry), ExtendedLengthPath(root / entry.filename()), ec);
    if (ec) return false;
  }
  fs::remove(ExtendedLengthPath(hoisted), ec);
  return Exists(root / marker);
}

std::expected<void, std::string> ReplaceDirectory(const fs::path& staged, const fs::path& target,
                                                  const fs::path& backup, RenameRetry retry,
                                                  const Sleeper& sleep) {
  RemoveAllQuietly(backup);
  std::error_code ignored;
  fs::create_directories(ExtendedLengthPath(target.parent_path()), ignored);

  const std::string name = PathToUtf8(target.filename());
  const bool movedAside = EntryExists(target);
  if (movedAside) {
    if (std::error_code ec = RenameWithRetry(target, backup, retry, sleep)) {
      return std::unexpected(
          std::format("can't move the old {} aside (in use?): {}", name, ec.message()));
    }
  }
  if (std::error_code ec = RenameWithRetry(staged, target, retry, sleep)) {
    if (movedAside) (void)RenameWithRetry(backup, target, retry, sleep);
    return std::unexpected(std::format("can't move the new {} into place: {}", name, ec.message()));
  }
  RemoveAllQuietly(backup);
  return {};
}

std::error_code RenameWithRetry(const fs::path& from, const fs::path& to, RenameRetry retry,
                                const Sleeper& sleep) {
  const std::int32_t attempts = std::max<std::int32_t>(retry.attempts, 1);
  std::error_code ec;
  for (std::int32_t attempt = 1; attempt <= attempts; ++attempt) {
    fs::rename(ExtendedLengthPath(from), ExtendedLengthPath(to), ec);
    if (!ec) return ec;
    std::error_code statusError;
    const fs::file_status status = fs::symlink_status(ExtendedLengthPath(from), statusError);
    if (statusError || !fs::exists(status)) return ec;
    if (attempt < attempts && retry.delay.count() > 0) sleep(retry.delay);
  }
  return ec;
}

}  // namespace emberdale::core
