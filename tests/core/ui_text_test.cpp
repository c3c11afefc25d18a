#include "core/ui_text.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

namespace emberdale::core {
namespace {

constexpr std::array kAllFields = {
    &UiStrings::updaterTitle,
    &UiStrings::preparing,
    &UiStrings::startingLauncher,
    &UiStrings::checkingUpdates,
    &UiStrings::updateDataReceived,
    &UiStrings::checkFailedStartingInstalled,
    &UiStrings::checkingComponents,
    &UiStrings::downloadingUpdate,
    &UiStrings::installingUpdate,
    &UiStrings::applyingUpdate,
    &UiStrings::removingTempFiles,
    &UiStrings::downloadingLauncher,
    &UiStrings::installingLauncher,
    &UiStrings::removingOldLauncherFiles,
    &UiStrings::downloadingJava,
    &UiStrings::installingJava,
    &UiStrings::noUpdatesRequired,
    &UiStrings::launcherStartFailed,
    &UiStrings::launcherNotFound,
    &UiStrings::downloadFailed,
    &UiStrings::integrityFailed,
    &UiStrings::extractFailed,
    &UiStrings::offlineAndNotInstalled,
    &UiStrings::unsupportedPathChars,
    &UiStrings::createFolderFailed,
    &UiStrings::fatVolume,
    &UiStrings::noexecVolume,
    &UiStrings::javaNotFound,
    &UiStrings::launcherAlreadyRunning,
    &UiStrings::statusPrefix,
    &UiStrings::errorTitle,
    &UiStrings::megabytes,
    &UiStrings::launcherName,
    &UiStrings::javaName,
    &UiStrings::updaterName,
    &UiStrings::notInstalled,
    &UiStrings::updateAvailableTitle,
    &UiStrings::updatesAvailableTitle,
    &UiStrings::updatesRequiredIntro,
    &UiStrings::cancelButton,
    &UiStrings::updateButton,
    &UiStrings::installPrompt,
    &UiStrings::updateCancelled,
    &UiStrings::pressEnterToExit,
    &UiStrings::errorCancelButton,
    &UiStrings::closeButton,
    &UiStrings::openLogButton,
};
static_assert(kAllFields.size() == 47);
static_assert(sizeof(UiStrings) == kAllFields.size() * sizeof(const char*),
              "every field of UiStrings is listed above");

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.ends_with(suffix);
}

TEST(UiTextTest, BothTablesCarryEveryText) {
  const UiStrings& russian = UiTextFor(Language::Russian);
  const UiStrings& english = UiTextFor(Language::English);
  EXPECT_NE(&russian, &english);
  for (std::size_t i = 0; i < kAllFields.size(); ++i) {
    for (const UiStrings* table : {&russian, &english}) {
      const char* text = table->*kAllFields[i];
      ASSERT_NE(text, nullptr) << "field " << i;
      EXPECT_GT(std::strlen(text), 0u) << "field " << i;
    }
  }
  // Only the product names are the same in both languages.
  int same = 0;
  for (const auto field : kAllFields) same += std::string_view(russian.*field) == english.*field;
  EXPECT_EQ(same, 4);
}

TEST(UiTextTest, TextsAreExact) {
  const UiStrings& russian = UiTextFor(Language::Russian);
  const UiStrings& english = UiTextFor(Language::English);
  EXPECT_STREQ(english.updaterTitle, "Emberdale Updater");
  EXPECT_STREQ(english.updateDataReceived, "Checking for updates...\nUpdate data received");
  EXPECT_STREQ(russian.updateDataReceived,
               "\u041f\u0440\u043e\u0432\u0435\u0440\u044f\u0435\u043c "
               "\u043e\u0431\u043d\u043e\u0432\u043b\u0435\u043d\u0438\u044f...\n"
               "\u0414\u0430\u043d\u043d\u044b\u0435 \u043f\u043e\u043b\u0443\u0447\u0435\u043d"
               "\u044b");
  EXPECT_STREQ(english.extractFailed, "Failed to extract files.\n\nPath: ");
  EXPECT_TRUE(EndsWith(english.unsupportedPathChars, "another folder, e.g. D:\\Games.\n\nPath: "));
  EXPECT_TRUE(EndsWith(russian.unsupportedPathChars, "D:\\Games.\n\n\u041f\u0443\u0442\u044c: "));
  EXPECT_STREQ(english.javaNotFound,
               "Java was not found. Delete this folder and start Emberdale again:\n");
  EXPECT_STREQ(russian.statusPrefix, "\u0421\u0442\u0430\u0442\u0443\u0441: ");
  EXPECT_STREQ(english.megabytes, " MB");
  EXPECT_STREQ(russian.megabytes, " \u041c\u0411");
  EXPECT_STREQ(english.installPrompt, "Install updates? [Y/n]: ");
  EXPECT_TRUE(EndsWith(russian.installPrompt, "[\u0414/\u043d]: "));
  EXPECT_STREQ(english.openLogButton, "Open log");
}

TEST(UiTextTest, CurrentTableStartsEnglish) {
  ASSERT_NE(g_uiText, nullptr);
  EXPECT_EQ(g_uiText, &UiTextFor(Language::English));
}

TEST(UiTextTest, LanguageFromLocaleName) {
  for (const char* name : {"ru", "RU", "Ru_ru", "ru-RU", "ru_RU", "ru.UTF-8", "rU-x"}) {
    EXPECT_EQ(LanguageFromLocaleName(name), Language::Russian) << name;
  }
  for (const char* name : {"", "r", "rus", "ru:RU", "en-RU", "uk-UA", "en", "C", "POSIX", " ru"}) {
    EXPECT_EQ(LanguageFromLocaleName(name), Language::English) << name;
  }
  EXPECT_EQ(LanguageFromLocaleName(std::string_view("ru\0x", 4)), Language::English);
  EXPECT_EQ(&UiTextFor(Language::Russian), &UiTextFor(LanguageFromLocaleName("ru_RU.UTF-8")));
  EXPECT_EQ(&UiTextFor(static_cast<Language>(7)), &UiTextFor(Language::English));
}

TEST(UiTextTest, FormatMegabytes) {
  const UiStrings& english = UiTextFor(Language::English);
  EXPECT_EQ(FormatMegabytes(english, 0), "0.00 MB");
  EXPECT_EQ(FormatMegabytes(english, 1'000'000), "0.95 MB");
  EXPECT_EQ(FormatMegabytes(english, 1'572'864), "1.50 MB");
  EXPECT_EQ(FormatMegabytes(english, 123'456'789), "117.74 MB");
  EXPECT_EQ(FormatMegabytes(english, 1ULL << 30), "1024.00 MB");
  EXPECT_EQ(FormatMegabytes(UiTextFor(Language::Russian), 1'572'864), "1.50 \u041c\u0411");
}

TEST(UiTextTest, FormatUpdateLine) {
  const UiStrings& english = UiTextFor(Language::English);
  EXPECT_EQ(FormatUpdateLine(english, english.launcherName, "1.4.0", "1.5.0", 39'059'456),
            "  \u2022 Emberdale Launcher: 1.4.0 \u2192 1.5.0 (37.25 MB)");
  EXPECT_EQ(FormatUpdateLine(english, "Java", "", "21", 0), "  \u2022 Java:  \u2192 21 (0.00 MB)");
  const UiStrings& russian = UiTextFor(Language::Russian);
  EXPECT_EQ(FormatUpdateLine(russian, russian.javaName, russian.notInstalled, "21.0.2", 1 << 20),
            "  \u2022 Java: \u043d\u0435 \u0443\u0441\u0442\u0430\u043d\u043e\u0432\u043b\u0435"
            "\u043d \u2192 21.0.2 (1.00 \u041c\u0411)");
}

TEST(UiTextTest, IsYesAnswer) {
  for (const char* answer :
       {"", "   ", "\r", "\t", " Y ", "y", "YES", "Yes\r", "\tyes \t\r\r", "\u0414\u0410",
        "\u0434\u0410", "\u0414", "\u0434", " \u0434\u0430\r"}) {
    EXPECT_TRUE(IsYesAnswer(answer)) << '"' << answer << '"';
  }
  for (const char* answer :
       {"n", "no", "N", "\u043d", "\u043d\u0435\u0442", "ye", "yes!", "yes please", "da", "\nyes",
        "yes\n", "y es", "\r yes", "\u0434\u0430\u0430", "\u0434\u00e0"}) {
    EXPECT_FALSE(IsYesAnswer(answer)) << '"' << answer << '"';
  }
}

}  // namespace
}  // namespace emberdale::core
