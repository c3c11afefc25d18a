// The backups the installers keep under the temp folder while they swap a component in, and the
// repair of a swap that a crash cut short. A swap renames the installed item to its backup,
// renames the new item into place and then removes the backup; a crash between the two renames
// leaves the item missing and its only copy in the backup, which emptying the temp folder would
// delete.
#pragma once

#include <filesystem>
#include <string_view>

namespace emberdale::core {

// Backup of one top-level launcher item: this prefix followed by the item's name.
inline constexpr std::string_view kItemBackupPrefix = "backup-";
// Backup of the Java runtime.
inline constexpr std::string_view kRuntimeBackupName = "backup-jre";
// The folder inside a launcher directory that holds the Java runtime.
inline constexpr std::string_view kRuntimeFolderName = "runtime";

// The Java runtime's home under the install root: Contents/runtime/Contents/Home.
std::filesystem::path RuntimeHome(const std::filesystem::path& root);

// Puts back every backup under root/temp whose target is missing (launcher items into root, the
// runtime into RuntimeHome(root)), and a runtime folder still waiting in an item's backup into the
// new item, logging the warning "Restored {} from an interrupted update" with the target for each.
// Backups whose target exists are left for the temp folder's clean-up; a temp that is a symbolic
// link is not looked into. Runs before anything else touches the temp folder.
void RestoreInterruptedInstalls(const std::filesystem::path& root);

}  // namespace emberdale::core
