// What the entry reads and checks at start: arguments, preferred language, the install location.
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/install_location.h"
#include "app/preferred_language.h"
#include "core/ui_text.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::UiTextFor;

TEST(Startup, SavedArgumentsLeaveOutTheProgramAndProcessSerialNumbers) {
  const char* argv[] = {"/Apps/Emberdale Updater.app/Contents/MacOS/EmberdaleUpdater",
                        "-psn_0_12345", "-p", "emberdale://open", "-psn", "--psn_0_1", ""};
  EXPECT_EQ(SavedArguments(7, argv),
            (std::vector<std::string>{"-p", "emberdale://open", "--psn_0_1", ""}));
}

TEST(Startup, PreferredLanguageLookupOrder) {
  struct Row {
    const char* variables[4];  // LANGUAGE, LC_ALL, LC_MESSAGES, LANG; nullptr: unset
    const char* preferred;
  };
  for (const Row& row : {Row{{nullptr, nullptr, nullptr, nullptr}, ""},
                         Row{{"ru_RU:en_US", "en_GB.UTF-8", "de", "en_US.UTF-8"}, "ru_RU"},
                         Row{{"", "", "", "de_DE.UTF-8"}, "de_DE.UTF-8"},
                         Row{{":ru", nullptr, "ru_RU.UTF-8", "de"}, "ru_RU.UTF-8"},
                         Row{{nullptr, "en_US.UTF-8", "ru_RU.UTF-8", "de"}, "en_US.UTF-8"}}) {
    const char* names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    for (int i = 0; i < 4; ++i) row.variables[i] ? setenv(names[i], row.variables[i], 1) : unsetenv(names[i]);
    EXPECT_EQ(PreferredLanguage(), row.preferred) << row.preferred;
  }
}

// Each row has a fresh home folder ("$H"), with `files` made below it first ("x/": a folder that
// can't be listed). The check runs in a child without capabilities: root reads any folder.
TEST(Startup, InstallLocationRefusals) {
  const std::string outside = "Please choose a folder inside your home folder or on an external drive.";
  const std::string kept = "This folder is protected by macOS or synced to iCloud. Please choose another folder.";
  struct Row {
    std::string folder, reason;  // reason "" when accepted, which creates the folder
    std::vector<const char*> files = {};
  };
  const Row rows[] = {
      {"/opt/Emberdale", outside},
      {"$H2/Emberdale", outside},
      {"$H/Desktop", kept},
      {"$H/Documents/Emberdale", kept},
      {"$H/Downloads/Games/Emberdale", kept},
      {"$H/Library/Mobile Documents/com~apple~CloudDocs/Emberdale", kept},
      {"$H/Library/CloudStorage/Drive/Emberdale", kept},
      {"$H/Documents2/Emberdale", ""},
      {"$H/Games/Collection/Emberdale", ""},
      {"$H/Mine", "The folder already exists and contains other files:\n$H/Mine", {"Mine/a"}},
      {"$H/Old", "", {"Old/notes.txt", "Old/config/versions.json"}},
      {"$H/Locked", "The folder already exists and contains other files:\n$H/Locked", {"Locked/"}},
      {"$H/File/Emberdale", "The folder is not writable:\n$H/File/Emberdale", {"File"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.folder);
    emberdale::test::TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    for (const std::string file : row.files) {
      if (!file.ends_with('/')) emberdale::test::WriteFile(home / file, "");
      if (file.ends_with('/')) fs::create_directory(home / file), chmod((home / file).c_str(), 0333);
    }
    const auto expand = [&](std::string text) {
      for (std::size_t at; (at = text.find("$H")) != std::string::npos;) text.replace(at, 2, home.path());
      return text;
    };
    const auto run = emberdale::test::RunInChild(
        [&] {
          __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
          __user_cap_data_struct none[2]{};
          syscall(SYS_capset, &header, none);
          return std::printf("%s", ValidateInstallRoot(expand(row.folder)).c_str()), 0;
        },
        emberdale::test::ChildStdout::Pipe);
    EXPECT_EQ(run.output, expand(row.reason));
    if (row.files.empty()) EXPECT_EQ(fs::is_directory(expand(row.folder)), row.reason.empty());
  }
  emberdale::core::g_uiText = &UiTextFor(emberdale::core::Language::Russian);
  EXPECT_EQ(ValidateInstallRoot("/opt/Emberdale"), "Выберите папку внутри домашней папки или на внешнем диске.");
  emberdale::core::g_uiText = &UiTextFor(emberdale::core::Language::English);
}

}  // namespace
