// The texts the user sees, in Russian and English, and the small functions that turn values into
// localised text. The current table, g_uiText, is English from static initialisation on; the
// entry point sets it once from the user's first preferred language, before any other thread
// exists, and nothing changes it afterwards. Log messages never come from these tables.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace emberdale::core {

enum class Language { English = 0, Russian = 1 };

// One table of user-visible texts: static NUL-terminated UTF-8 strings, a line break being one LF.
// Texts ending in a space or in a label such as "\n\nPath: " are followed directly by a value the
// caller appends (a path, a folder, a status).
struct UiStrings {
  const char* updaterTitle;
  const char* preparing;
  const char* startingLauncher;
  const char* checkingUpdates;
  const char* updateDataReceived;
  const char* checkFailedStartingInstalled;
  const char* checkingComponents;
  const char* downloadingUpdate;
  const char* installingUpdate;
  const char* applyingUpdate;
  const char* removingTempFiles;
  const char* downloadingLauncher;
  const char* installingLauncher;
  const char* removingOldLauncherFiles;
  const char* downloadingJava;
  const char* installingJava;
  const char* noUpdatesRequired;
  const char* launcherStartFailed;
  const char* launcherNotFound;
  const char* downloadFailed;
  const char* integrityFailed;
  const char* extractFailed;
  const char* offlineAndNotInstalled;
  const char* unsupportedPathChars;
  const char* createFolderFailed;
  const char* fatVolume;
  const char* noexecVolume;
  const char* javaNotFound;
  const char* launcherAlreadyRunning;
  const char* statusPrefix;
  const char* errorTitle;
  const char* megabytes;
  const char* launcherName;
  const char* javaName;
  const char* updaterName;
  const char* notInstalled;
  const char* updateAvailableTitle;
  const char* updatesAvailableTitle;
  const char* updatesRequiredIntro;
  const char* cancelButton;
  const char* updateButton;
  const char* installPrompt;
  const char* updateCancelled;
  const char* pressEnterToExit;
  const char* errorCancelButton;
  const char* closeButton;
  const char* openLogButton;
};

// The current table. Points to the English table until the entry point chooses the language.
extern const UiStrings* g_uiText;

// The UI language for a locale or language tag such as "ru", "ru-RU", "ru_RU.UTF-8": Russian
// for "ru" (any case) alone or followed by '-', '_' or '.', English for everything else.
[[nodiscard]] Language LanguageFromLocaleName(std::string_view name);

// The Russian table for Language::Russian, the English table for every other value.
[[nodiscard]] const UiStrings& UiTextFor(Language language);

// Whether the current table is the Russian one. Texts outside the table (a few dialogs) come in
// Russian-English pairs chosen by this.
[[nodiscard]] bool CurrentUiIsRussian();

// One text outside the tables in both languages: the place that picks the Russian or the English
// one for the current table.
struct TextPair {
  const char* english;
  const char* russian;
  [[nodiscard]] const char* get() const { return CurrentUiIsRussian() ? russian : english; }
};

// A byte count as megabytes of 1048576 bytes with two decimals ('.' whatever the locale) followed
// by the table's unit, e.g. "1.50 MB".
[[nodiscard]] std::string FormatMegabytes(const UiStrings& ui, std::uint64_t bytes);

// One bullet line of an update confirmation, without a line break:
// "  \u2022 name: from \u2192 to (size)", the size as FormatMegabytes gives it.
[[nodiscard]] std::string FormatUpdateLine(const UiStrings& ui, std::string_view name,
                                           std::string_view fromVersion, std::string_view toVersion,
                                           std::uint64_t bytes);

// Whether a line typed at a console yes/no prompt (without its line terminator) means yes: empty
// or blank, or "y", "yes", "д", "да" in any case of the ASCII letters and of Д and А, with
// surrounding spaces and tabs and trailing carriage returns ignored.
[[nodiscard]] bool IsYesAnswer(std::string_view answer);

}  // namespace emberdale::core
