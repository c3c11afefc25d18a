// What the user reads and types (language choice, sizes, the yes/no prompt) and the app links
// the updater recognises. Handing a link to a running launcher is tested with the stand-in
// launcher in tests/app.
#include <gtest/gtest.h>

#include "core/app_link.h"
#include "core/ui_text.h"

namespace emberdale::core {
namespace {

TEST(UiTextTest, LanguageSizesAndAnswers) {
  for (const char* name : {"ru", "RU", "ru-RU", "ru_RU", "ru.UTF-8", "rU-x"}) {
    EXPECT_EQ(&UiTextFor(LanguageFromLocaleName(name)), &UiTextFor(Language::Russian)) << name;
  }
  for (const char* name : {"", "r", "rus", "ru:RU", "en-RU", "uk", "C", " ru"}) {
    EXPECT_EQ(LanguageFromLocaleName(name), Language::English) << name;
  }
  const UiStrings& en = UiTextFor(Language::English);
  EXPECT_EQ(g_uiText, &en);
  EXPECT_EQ(FormatMegabytes(en, 1'000'000), "0.95 MB");
  EXPECT_EQ(FormatMegabytes(en, 1ULL << 30), "1024.00 MB");
  EXPECT_EQ(FormatUpdateLine(en, en.launcherName, "1.4.0", "1.5.0", 39'059'456),
            "  \u2022 Emberdale Launcher: 1.4.0 \u2192 1.5.0 (37.25 MB)");
  for (const char* yes :
       {"", " \t", "\r", " Y ", "YES", "Yes\r\r", "\u0414\u0410", "\u0434", " \u0434\u0430\r"}) {
    EXPECT_TRUE(IsYesAnswer(yes)) << yes;
  }
  for (const char* no : {"n", "no", "\u043d\u0435\u0442", "ye", "yes!", "y es", "\nyes", "da",
                         "\u0434\u0430\u0430"}) {
    EXPECT_FALSE(IsYesAnswer(no)) << no;
  }
}

TEST(AppLinkTest, RecognisesLinks) {
  const std::string longest = "emberdale://" + std::string(4096 - 12, 'a');
  for (const std::string& link :
       std::initializer_list<std::string>{("emberdale://x"), "EmberDale://j?n=\xd0\x9c", longest})
    EXPECT_TRUE(IsAppLink(link));
  for (const std::string& text : std::initializer_list<std::string>{
           ("emberdale://"), "emberdale:/open", "emberdalf://open", "emberdale://o\tp",
           "emberdale://op\x7f", longest + "a"}) {
    EXPECT_FALSE(IsAppLink(text)) << text;
  }
  EXPECT_EQ(FindAppLink({"-v", "emberdale:/a", "emberdale://a/1", "emberdale://b/2"}),
            "emberdale://a/1");
}

}  // namespace
}  // namespace emberdale::core
