#include "core/ui_text.h"

#include <format>
#include <string>

#include "core/ascii.h"

namespace emberdale::core {
namespace {

// Product names, the same in both languages.
constexpr const char* kUpdaterProductName = "Emberdale Updater";
constexpr const char* kLauncherProductName = "Emberdale Launcher";
constexpr const char* kJavaName = "Java";

constexpr UiStrings UI_TEXT_RU = {
    .updaterTitle = kUpdaterProductName,
    .preparing = "Готовим к запуску...",
    .startingLauncher = "Запускаем лаунчер...",
    .checkingUpdates = "Проверяем обновления...",
    .updateDataReceived = "Проверяем обновления...\nДанные получены",
    .checkFailedStartingInstalled =
        "Не удалось проверить обновления\nПробуем запустить установленную версию",
    .checkingComponents = "Проверяем лаунчер и Java...",
    .downloadingUpdate = "Загружаем обновление...",
    .installingUpdate = "Устанавливаем обновление...",
    .applyingUpdate = "Применяем обновление...",
    .removingTempFiles = "Удаляем временные файлы...",
    .downloadingLauncher = "Загружаем лаунчер...",
    .installingLauncher = "Устанавливаем лаунчер...",
    .removingOldLauncherFiles = "Удаляем старые файлы...",
    .downloadingJava = "Загружаем Java...",
    .installingJava = "Устанавливаем Java...",
    .noUpdatesRequired = "Обновление не требуется",
    .launcherStartFailed = "Не удалось запустить Emberdale Launcher.",
    .launcherNotFound = "Emberdale Launcher не найден.",
    .downloadFailed = "Не удалось загрузить файлы обновления.",
    .integrityFailed = "Не удалось проверить целостность файлов.",
    .extractFailed = "Не удалось распаковать файлы.\n\nПуть: ",
    .offlineAndNotInstalled =
        "Не удалось проверить обновления, а установленная версия Emberdale Launcher не "
        "найдена.\nПроверьте подключение к интернету.",
    .unsupportedPathChars =
        "Путь установки содержит символы, которые не поддерживает Java на этой "
        "системе.\n\nПереустановите Emberdale в другую папку, например D:\\Games.\n\nПуть: ",
    .createFolderFailed = "Не удалось создать папку Emberdale.\n\nПуть: ",
    .fatVolume =
        "Этот диск не подходит для Emberdale: его файловая система (FAT/exFAT) не поддерживает "
        "символьные ссылки, нужные Java.\n\nПереустановите Emberdale в домашнюю папку или на диск "
        "с другой файловой системой.\n\nПуть: ",
    .noexecVolume =
        "Этот диск подключён с запретом запуска программ (noexec), поэтому Java и Emberdale "
        "Launcher не запустятся.\n\nПереустановите Emberdale в домашнюю папку или подключите диск "
        "без noexec.\n\nПуть: ",
    .javaNotFound = "Java не найдена. Удалите эту папку и запустите Emberdale снова:\n",
    .launcherAlreadyRunning = "Emberdale Launcher уже запущен.\nЗакройте его перед обновлением.",
    .statusPrefix = "Статус: ",
    .errorTitle = "Ошибка",
    .megabytes = " МБ",
    .launcherName = kLauncherProductName,
    .javaName = kJavaName,
    .updaterName = kUpdaterProductName,
    .notInstalled = "не установлен",
    .updateAvailableTitle = "Доступно обновление",
    .updatesAvailableTitle = "Доступны обновления",
    .updatesRequiredIntro = "Перед запуском нужно обновить:",
    .cancelButton = "Отмена",
    .updateButton = "Обновить",
    .installPrompt = "Установить обновления? [Д/н]: ",
    .updateCancelled = "Обновление отменено.",
    .pressEnterToExit = "Нажмите Enter, чтобы выйти...",
    .errorCancelButton = "Отмена",
    .closeButton = "Закрыть",
    .openLogButton = "Открыть журнал",
};

constexpr UiStrings UI_TEXT_EN = {
    .updaterTitle = kUpdaterProductName,
    .preparing = "Preparing Emberdale...",
    .startingLauncher = "Starting the launcher...",
    .checkingUpdates = "Checking for updates...",
    .updateDataReceived = "Checking for updates...\nUpdate data received",
    .checkFailedStartingInstalled =
        "Could not check for updates\nTrying to start the installed version",
    .checkingComponents = "Checking the launcher and Java...",
    .downloadingUpdate = "Downloading an update...",
    .installingUpdate = "Installing an update...",
    .applyingUpdate = "Applying update...",
    .removingTempFiles = "Removing temporary files...",
    .downloadingLauncher = "Downloading the launcher...",
    .installingLauncher = "Installing the launcher...",
    .removingOldLauncherFiles = "Removing old launcher files...",
    .downloadingJava = "Downloading Java...",
    .installingJava = "Installing Java...",
    .noUpdatesRequired = "No updates required",
    .launcherStartFailed = "Failed to start Emberdale Launcher.",
    .launcherNotFound = "Emberdale Launcher was not found.",
    .downloadFailed = "Failed to download update files.",
    .integrityFailed = "Failed to verify file integrity.",
    .extractFailed = "Failed to extract files.\n\nPath: ",
    .offlineAndNotInstalled =
        "Failed to check for updates and the installed Emberdale Launcher was not found.\nPlease "
        "check your internet connection.",
    .unsupportedPathChars =
        "The install path contains characters Java can't handle on this system.\n\nPlease "
        "reinstall Emberdale into another folder, e.g. D:\\Games.\n\nPath: ",
    .createFolderFailed = "Failed to create the Emberdale folder.\n\nPath: ",
    .fatVolume =
        "This drive can't hold Emberdale: its file system (FAT/exFAT) has no symbolic links, which "
        "Java needs.\n\nPlease reinstall Emberdale into your home folder or onto a drive with "
        "another file system.\n\nPath: ",
    .noexecVolume =
        "This drive is mounted with programs disabled (noexec), so Java and Emberdale Launcher "
        "can't run from it.\n\nPlease reinstall Emberdale into your home folder or mount the drive "
        "without noexec.\n\nPath: ",
    .javaNotFound = "Java was not found. Delete this folder and start Emberdale again:\n",
    .launcherAlreadyRunning = "Emberdale Launcher is already running.\nClose it before updating.",
    .statusPrefix = "Status: ",
    .errorTitle = "Error",
    .megabytes = " MB",
    .launcherName = kLauncherProductName,
    .javaName = kJavaName,
    .updaterName = kUpdaterProductName,
    .notInstalled = "not installed",
    .updateAvailableTitle = "Update Available",
    .updatesAvailableTitle = "Updates Available",
    .updatesRequiredIntro = "The following updates are required before launch:",
    .cancelButton = "Cancel",
    .updateButton = "Update",
    .installPrompt = "Install updates? [Y/n]: ",
    .updateCancelled = "Update cancelled.",
    .pressEnterToExit = "Press Enter to exit...",
    .errorCancelButton = "Cancel",
    .closeButton = "Close",
    .openLogButton = "Open log",
};

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

constinit const UiStrings* g_uiText = &UI_TEXT_EN;

Language LanguageFromLocaleName(std::string_view name) {
  if (name.size() < 2 || !EqualsIgnoringAsciiCase(name.substr(0, 2), "ru")) {
    return Language::English;
  }
  if (name.size() == 2) return Language::Russian;
  const char separator = name[2];
  return (separator == '-' || separator == '_' || separator == '.') ? Language::Russian
                                                                    : Language::English;
}

const UiStrings& UiTextFor(Language language) {
  return language == Language::Russian ? UI_TEXT_RU : UI_TEXT_EN;
}

bool CurrentUiIsRussian() {
  return g_uiText == &UiTextFor(Language::Russian);
}

std::string FormatMegabytes(const UiStrings& ui, std::uint64_t bytes) {
  constexpr double kBytesToMegabytes = 0x1p-20;
  return std::format("{:.2f}{}", static_cast<double>(bytes) * kBytesToMegabytes, ui.megabytes);
}

std::string FormatUpdateLine(const UiStrings& ui, std::string_view name,
                             std::string_view fromVersion, std::string_view toVersion,
                             std::uint64_t bytes) {
  return std::format("  \u2022 {}: {} \u2192 {} ({})", name, fromVersion, toVersion,
                     FormatMegabytes(ui, bytes));
}

bool IsYesAnswer(std::string_view answer) {
  const std::size_t first = answer.find_first_not_of(" \t");
  if (first == std::string_view::npos) return true;
  answer.remove_prefix(first);
  const std::size_t last = answer.find_last_not_of(" \t\r");
  if (last == std::string_view::npos) return true;
  answer = answer.substr(0, last + 1);

  std::string folded = ToLowerAscii(answer);
  ReplaceAll(folded, "\u0414", "\u0434");  // Д -> д
  ReplaceAll(folded, "\u0410", "\u0430");  // А -> а
  return folded == "y" || folded == "yes" || folded == "\u0434" || folded == "\u0434\u0430";
}

}  // namespace emberdale::core
