#include "app/arguments.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

TEST(SavedArguments, DropsTheProgramNameAndProcessSerialNumbersOnly) {
  const char* argv[] = {"/Applications/Emberdale Updater.app/Contents/MacOS/EmberdaleUpdater",
                        "-psn_0_12345",
                        "-p",
                        "emberdale://open",
                        "-psn",
                        "--psn_0_1",
                        "",
                        "two words"};
  EXPECT_EQ(SavedArguments(8, argv),
            (std::vector<std::string>{"-p", "emberdale://open", "--psn_0_1", "", "two words"}));
}

TEST(SavedArguments, NothingBeyondTheProgramNameGivesAnEmptyList) {
  const char* argv[] = {"EmberdaleUpdater", "-psn_0_1"};
  EXPECT_EQ(SavedArguments(1, argv), std::vector<std::string>{});
  EXPECT_EQ(SavedArguments(2, argv), std::vector<std::string>{});
}

}  // namespace
