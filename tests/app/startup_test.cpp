// What the entry reads at start: its arguments and the user's preferred language.
#include <cstdlib>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "app/preferred_language.h"
#include "gtest/gtest.h"

namespace {

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
  const Row rows[] = {
      {{nullptr, nullptr, nullptr, nullptr}, ""},
      {{"ru_RU:en_US", "en_GB.UTF-8", "de", "en_US.UTF-8"}, "ru_RU"},
      {{"", "", "", "de_DE.UTF-8"}, "de_DE.UTF-8"},
      {{":ru", nullptr, "ru_RU.UTF-8", "de"}, "ru_RU.UTF-8"},
      {{nullptr, "en_US.UTF-8", "ru_RU.UTF-8", "de"}, "en_US.UTF-8"},
  };
  for (const Row& row : rows) {
    const char* names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    for (int i = 0; i < 4; ++i) {
      row.variables[i] ? setenv(names[i], row.variables[i], 1) : unsetenv(names[i]);
    }
    EXPECT_EQ(PreferredLanguage(), row.preferred) << row.preferred;
  }
}

}  // namespace
