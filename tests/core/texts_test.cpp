// The language chosen from a locale name and the console's yes/no answer. The update lines shown
// to the user and the app links are checked in tests/app.
#include <gtest/gtest.h>

#include "core/ui_text.h"

namespace emberdale::core {
namespace {

TEST(UiTextTest, LanguageAndAnswers) {
  for (const char* name :
       {"ru", "RU", "ru-RU", "ru_RU", "ru.UTF-8", "", "r", "rus", "ru:RU", "en"}) {
    const bool russian = std::string_view(name).size() > 1 && std::string_view(name) != "rus" &&
                         std::string_view(name) != "ru:RU" && std::string_view(name) != "en";
    EXPECT_EQ(LanguageFromLocaleName(name), russian ? Language::Russian : Language::English)
        << name;
  }
  for (const char* yes : {"", " \t", "\r", " Y ", "YES", "Yes\r\r", "\u0414\u0410", " \u0434\r"}) {
    EXPECT_TRUE(IsYesAnswer(yes)) << yes;
  }
  for (const char* no : {"n", "no", "ye", "yes!", "y es", "\nyes", "da", "\u0434\u0430\u0430"}) {
    EXPECT_FALSE(IsYesAnswer(no)) << no;
  }
}

}  // namespace
}  // namespace emberdale::core
