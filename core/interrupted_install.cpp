#include "core/interrupted_install.h"

#include <string>
#include <system_error>
#include <vector>

#include "core/file_system.h"
#include "core/logging.h"
#include "core/paths.h"
#include "core/update_run.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;

void Restore(const fs::path& backup, const fs::path& target) {
  std::error_code ec;
  fs::create_directories(ExtendedLengthPath(target.parent_path()), ec);
  fs::rename(ExtendedLengthPath(backup), ExtendedLengthPath(target), ec);
  if (ec) {
    logging::Warn("Can't restore {} from an interrupted update: {}", PathToUtf8(target),
                  ec.message());
    return;
  }
  logging::Warn("Restored {} from an interrupted update", PathToUtf8(target));
}

// A launcher item's backup: the item itself when it is missing, else the runtime folder the crash
// kept from being carried over into the new item.
void RestoreLauncherItem(const fs::path& backup, const fs::path& target) {
  if (!EntryExists(target)) return Restore(backup, target);
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(ExtendedLengthPath(target), ec))) return;
  const fs::path oldRuntime = backup / kRuntimeFolderName;
  const fs::path newRuntime = target / kRuntimeFolderName;
  if (EntryExists(oldRuntime) && !EntryExists(newRuntime)) Restore(oldRuntime, newRuntime);
}

}  // namespace

fs::path RuntimeHome(const fs::path& root) {
  return root / "Contents" / kRuntimeFolderName / "Contents" / "Home";
}

void RestoreInterruptedInstalls(const fs::path& root) {
  const fs::path temp = TempDir(root);
  std::error_code ec;
  if (!fs::is_directory(fs::symlink_status(ExtendedLengthPath(temp), ec))) return;
  std::vector<std::string> itemNames;
  bool runtimeBackup = false;
  for (fs::directory_iterator it(ExtendedLengthPath(temp), ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().native();
    if (name == kRuntimeBackupName) {
      runtimeBackup = true;
    } else if (name.starts_with(kItemBackupPrefix) && name.size() > kItemBackupPrefix.size()) {
      itemNames.push_back(name.substr(kItemBackupPrefix.size()));
    }
  }
  // Launcher items first: the runtime's place lies inside one of them.
  for (const std::string& item : itemNames) {
    RestoreLauncherItem(temp / (std::string(kItemBackupPrefix) + item), root / item);
  }
  if (runtimeBackup && !EntryExists(RuntimeHome(root))) {
    Restore(temp / kRuntimeBackupName, RuntimeHome(root));
  }
}

}  // namespace emberdale::core
