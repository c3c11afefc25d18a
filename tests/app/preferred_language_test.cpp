#include "app/preferred_language.h"

#include <cstdlib>
#include <optional>
#include <string>

#include "core/ui_text.h"
#include "gtest/gtest.h"

namespace {

constexpr const char* kVariables[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// Starts with all four variables unset and puts the test process's values back afterwards.
class PreferredLanguageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 4; ++i) {
      if (const char* value = std::getenv(kVariables[i])) saved_[i] = value;
      unsetenv(kVariables[i]);
    }
  }
  void TearDown() override {
    for (int i = 0; i < 4; ++i) {
      if (saved_[i]) {
        setenv(kVariables[i], saved_[i]->c_str(), 1);
      } else {
        unsetenv(kVariables[i]);
      }
    }
  }
  static void Set(const char* name, const char* value) { setenv(name, value, 1); }

 private:
  std::optional<std::string> saved_[4];
};

TEST_F(PreferredLanguageTest, NoneKnownGivesEmpty) {
  EXPECT_EQ(PreferredLanguage(), "");
}

TEST_F(PreferredLanguageTest, FirstEntryOfLanguageWins) {
  Set("LANG", "en_US.UTF-8");
  Set("LC_ALL", "en_GB.UTF-8");
  Set("LANGUAGE", "ru_RU:en_US:de");
  EXPECT_EQ(PreferredLanguage(), "ru_RU");
  EXPECT_EQ(emberdale::core::LanguageFromLocaleName(PreferredLanguage()),
            emberdale::core::Language::Russian);
  Set("LANGUAGE", "ru");
  EXPECT_EQ(PreferredLanguage(), "ru") << "a single entry";
}

TEST_F(PreferredLanguageTest, EmptyLanguageOrEmptyFirstEntryFallsThroughInOrder) {
  Set("LANGUAGE", "");
  Set("LANG", "de_DE.UTF-8");
  EXPECT_EQ(PreferredLanguage(), "de_DE.UTF-8");
  Set("LC_MESSAGES", "ru_RU.UTF-8");
  EXPECT_EQ(PreferredLanguage(), "ru_RU.UTF-8");
  Set("LC_ALL", "en_US.UTF-8");
  EXPECT_EQ(PreferredLanguage(), "en_US.UTF-8");
  Set("LANGUAGE", ":ru");
  EXPECT_EQ(PreferredLanguage(), "en_US.UTF-8") << "an empty first entry is no entry";
  Set("LC_ALL", "");
  EXPECT_EQ(PreferredLanguage(), "ru_RU.UTF-8") << "empty variables are skipped";
}

}  // namespace
