#include "app/install_dir.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "gtest/gtest.h"
#include "posix/install_pointer.h"
#include "posix/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

constexpr const char* kPointerBelowHome =
    "/Library/Application Support/dev.quillfen.updater/install-path";

// Points HOME at `value` and starts from an unset install directory; restores both afterwards.
class InstallDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* home = std::getenv("HOME")) savedHome_ = home;
    g_installDir.clear();
  }
  void TearDown() override {
    if (savedHome_) {
      setenv("HOME", savedHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    g_installDir.clear();
  }
  static void SetHome(const std::string& value) { setenv("HOME", value.c_str(), 1); }

 private:
  std::optional<std::string> savedHome_;
};

TEST_F(InstallDirTest, WithoutPointerTheDefaultBelowHome) {
  SetHome("/Users/x");
  EXPECT_EQ(InstallPointerPath(), std::string("/Users/x") + kPointerBelowHome);
  EXPECT_EQ(ReadInstallPointer(), "");
  EXPECT_EQ(GetInstallDir(), "/Users/x/Library/Application Support/Emberdale");
  EXPECT_EQ(g_installDir, "/Users/x/Library/Application Support/Emberdale");
}

TEST_F(InstallDirTest, PointerWrittenByTheEntryIsReadBackAndKept) {
  TempDir home;
  SetHome(home.path().string());
  ASSERT_TRUE(
      emberdale::posix::WriteInstallPointer(InstallPointerPath(), "/Volumes/Games/Emberdale"));
  EXPECT_TRUE(fs::is_regular_file(home.path().string() + kPointerBelowHome));
  EXPECT_EQ(ReadInstallPointer(), "/Volumes/Games/Emberdale");
  EXPECT_EQ(GetInstallDir(), "/Volumes/Games/Emberdale");

  // Filled once: a later change of the pointer or of HOME does not move the install directory.
  ASSERT_TRUE(emberdale::posix::WriteInstallPointer(InstallPointerPath(), "/elsewhere"));
  SetHome("/Users/y");
  EXPECT_EQ(GetInstallDir(), "/Volumes/Games/Emberdale");
}

TEST_F(InstallDirTest, PointerValueIsTakenWithoutValidation) {
  TempDir home;
  SetHome(home.path().string());
  WriteFile(home.path().string() + kPointerBelowHome, "/does/not/exist//\r\n");
  EXPECT_EQ(GetInstallDir(), "/does/not/exist");
}

TEST_F(InstallDirTest, MalformedPointerGivesTheDefault) {
  TempDir home;
  SetHome(home.path().string());
  WriteFile(home.path().string() + kPointerBelowHome, "Games/Emberdale\n");
  EXPECT_EQ(GetInstallDir(), home.path().string() + "/Library/Application Support/Emberdale");
}

TEST_F(InstallDirTest, AnInstallDirectorySetByTheEntryWins) {
  SetHome("/Users/x");
  g_installDir = "/chosen/by/the/user";
  EXPECT_EQ(GetInstallDir(), "/chosen/by/the/user");
}

// Without HOME and without a password-database entry there is no home folder at all, and the
// paths begin at the root. Arranged for real: the locations helper runs under a user id that has
// no entry, with HOME removed from its environment.
TEST_F(InstallDirTest, NoHomeAndNoPasswordEntryGivesPathsAtTheRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run a program under a user id without entry";
  if (!emberdale::posix::CommandExists("setpriv")) GTEST_SKIP() << "needs setpriv (util-linux)";
  uid_t unknown = 54321;
  while (getpwuid(unknown) != nullptr) ++unknown;
  const std::string id = std::to_string(unknown);
  emberdale::posix::RunOptions options;
  options.captureOutput = true;
  options.captureStderr = true;
  const auto result = emberdale::posix::Run(
      {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "env", "-u", "HOME",
       std::string(EMBERDALE_TEST_HELPERS_DIR) + "/app_locations"},
      options);
  ASSERT_TRUE(result.has_value()) << result.error();
  ASSERT_EQ(result->exitCode, 0) << result->output;
  EXPECT_NE(result->output.find("\nhome_dir=\n"), std::string::npos) << result->output;
  EXPECT_NE(result->output.find("\ninstall_dir=/Library/Application Support/Emberdale\n"),
            std::string::npos)
      << result->output;
}

}  // namespace
