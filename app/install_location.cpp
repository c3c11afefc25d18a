#include "app/install_location.h"

#include <unistd.h>

#include <array>
#include <filesystem>

#include "app/dialogs.h"
#include "app/install_dir.h"
#include "app/launch.h"
#include "app/path_helpers.h"
#include "app/window.h"
#include "core/local_versions.h"
#include "core/ui_text.h"
#include "posix/install_volume.h"

namespace {

constexpr const char* kFolderName = "Emberdale";
constexpr const char* kExternalVolumes = "/Volumes";
constexpr std::array<const char*, 5> kProtectedFolders = {
    "/Desktop", "/Documents", "/Downloads", "/Library/Mobile Documents", "/Library/CloudStorage"};

enum Answer { kInstall = 0, kChooseAnother = 1 };

using Texts = emberdale::core::TextPair;

constexpr Texts kTitle{"Where to install Emberdale?", "Куда установить Emberdale?"};
constexpr Texts kIntro{"Emberdale will be installed to:\n\n",
                       "Emberdale будет установлен в папку:\n\n"};
constexpr Texts kNote{
    "If the chosen folder isn't named Emberdale, a Emberdale folder is created inside it.",
    "Если выбранная папка называется не Emberdale, внутри неё будет создана папка Emberdale."};
constexpr Texts kInstallButton{"Install", "Установить"};
constexpr Texts kChooseButton{"Choose another folder...", "Выбрать другую папку..."};
constexpr Texts kCancelButton{"Cancel", "Отмена"};
constexpr Texts kRefusalTitle{"Can't install to this folder", "Нельзя установить в эту папку"};
constexpr Texts kOutsideHome{
    "Please choose a folder inside your home folder or on an external drive.",
    "Выберите папку внутри домашней папки или на внешнем диске."};
constexpr Texts kProtected{
    "This folder is protected by macOS or synced to iCloud. Please choose another folder.",
    "Эта папка защищена macOS или синхронизируется с iCloud. Выберите другую папку."};
constexpr Texts kForeignContent{"The folder already exists and contains other files:\n",
                                "Папка уже существует и содержит посторонние файлы:\n"};
constexpr Texts kNotWritable{"The folder is not writable:\n", "Нет прав на запись в папку:\n"};

// A folder whose entries can't be listed can't be shown to hold only an earlier installation. The
// probe link of a volume check that a crash cut short is ours, not foreign.
bool HasForeignContent(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_directory(path, ec)) return false;
  bool empty = true;
  for (std::filesystem::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
    empty =
        empty && it->path().filename().native().starts_with(emberdale::posix::kVolumeProbePrefix);
  }
  if (ec) return true;
  if (empty) return false;
  return !std::filesystem::exists(emberdale::core::VersionsFile(path), ec) || ec;
}

}  // namespace

std::string InstallDirForChosenFolder(std::string folder) {
  while (folder.size() > 1 && folder.ends_with('/')) folder.pop_back();
  if (std::filesystem::path(folder).filename() == kFolderName) return folder;
  return (std::filesystem::path(folder) / kFolderName).native();
}

bool IsSameOrInside(const std::string& path, const std::string& base) {
  if (base.empty()) return false;
  if (path == base) return true;
  return path.size() > base.size() && path.starts_with(base) && path[base.size()] == '/';
}

std::string ValidateInstallRoot(const std::string& path) {
  const std::string home = GetHomeDir();
  if (!IsSameOrInside(path, home) && !IsSameOrInside(path, kExternalVolumes)) {
    return kOutsideHome.get();
  }
  for (const char* folder : kProtectedFolders) {
    if (IsSameOrInside(path, home + folder)) return kProtected.get();
  }
  if (HasForeignContent(path)) return kForeignContent.get() + path;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec || access(path.c_str(), W_OK) != 0) return kNotWritable.get() + path;
  return VolumeProblemText(path);
}

std::optional<std::string> AskForInstallDir(std::string candidate) {
  while (true) {
    const int answer = RunAlert(
        kTitle.get(), kIntro.get() + candidate + "\n\n" + kNote.get(), AlertStyle::Informational,
        {kInstallButton.get(), kChooseButton.get(), kCancelButton.get()}, kCancelButton.get());
    if (answer == kChooseAnother) {
      const std::string start = std::filesystem::path(candidate).parent_path().native();
      if (const auto folder = ChooseFolder(kNote.get(), start))
        candidate = InstallDirForChosenFolder(*folder);
      continue;
    }
    if (answer != kInstall) return std::nullopt;
    const std::string reason = ValidateInstallRoot(candidate);
    if (reason.empty()) return candidate;
    RunAlert(kRefusalTitle.get(), reason, AlertStyle::Warning, {"OK"}, "");
    candidate = DefaultInstallDir();
  }
}
