// ctest-labels: quick;root
#include "app/install_location.h"

#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "core/ui_text.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/mount_namespace.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::g_uiText;
using emberdale::core::Language;
using emberdale::core::UiTextFor;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

constexpr const char* kOutsideHome =
    "Please choose a folder inside your home folder or on an external drive.";
constexpr const char* kProtected =
    "This folder is protected by macOS or synced to iCloud. Please choose another folder.";
constexpr const char* kForeignContent = "The folder already exists and contains other files:\n";
constexpr const char* kNotWritable = "The folder is not writable:\n";

TEST(InstallDirForChosenFolder, AddsTheFolderNameUnlessItIsAlreadyThere) {
  EXPECT_EQ(InstallDirForChosenFolder("/Users/x/Games"), "/Users/x/Games/Emberdale");
  EXPECT_EQ(InstallDirForChosenFolder("/Users/x/Games/Emberdale"), "/Users/x/Games/Emberdale");
  EXPECT_EQ(InstallDirForChosenFolder("/Users/x/Games/Emberdale/"), "/Users/x/Games/Emberdale");
  EXPECT_EQ(InstallDirForChosenFolder("/Users/x/emberdale"), "/Users/x/emberdale/Emberdale");
  EXPECT_EQ(InstallDirForChosenFolder("/"), "/Emberdale");
}

TEST(IsSameOrInside, ComparesTextOnlyAndNeedsASlashAfterTheBase) {
  EXPECT_TRUE(IsSameOrInside("/Users/x", "/Users/x"));
  EXPECT_TRUE(IsSameOrInside("/Users/x/Games", "/Users/x"));
  EXPECT_TRUE(IsSameOrInside("/Users/x/", "/Users/x"));
  EXPECT_FALSE(IsSameOrInside("/Users/x/Documents2", "/Users/x/Documents"));
  EXPECT_FALSE(IsSameOrInside("/Users/xy", "/Users/x"));
  EXPECT_FALSE(IsSameOrInside("/Users", "/Users/x"));
  EXPECT_FALSE(IsSameOrInside("/users/x/Games", "/Users/x")) << "case-sensitive";
  EXPECT_FALSE(IsSameOrInside("/Users/x/../y", "/Users/y")) << "no normalisation";
  EXPECT_FALSE(IsSameOrInside("/anything", ""));
  EXPECT_FALSE(IsSameOrInside("", ""));
}

// HOME points at a fresh folder; the English table is current again afterwards.
class ValidateInstallRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* home = std::getenv("HOME")) savedHome_ = home;
    setenv("HOME", home_.path().c_str(), 1);
  }
  void TearDown() override {
    if (savedHome_) {
      setenv("HOME", savedHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
    g_uiText = &UiTextFor(Language::English);
  }
  std::string Home(const std::string& below = "") const { return home_.path().native() + below; }

  TempDir home_;

 private:
  std::optional<std::string> savedHome_;
};

TEST_F(ValidateInstallRootTest, OutsideHomeAndExternalDrivesIsRefused) {
  EXPECT_EQ(ValidateInstallRoot("/opt/Emberdale"), kOutsideHome);
  EXPECT_EQ(ValidateInstallRoot(Home("2/Emberdale")), kOutsideHome) << "a sibling of home";
  EXPECT_EQ(ValidateInstallRoot("/Volumes2/Emberdale"), kOutsideHome);
  EXPECT_EQ(ValidateInstallRoot("Games/Emberdale"), kOutsideHome) << "a relative path";
  EXPECT_FALSE(fs::exists("/opt/Emberdale"));
}

TEST_F(ValidateInstallRootTest, ProtectedAndSyncedFoldersAreRefusedWithoutCreatingAnything) {
  for (const char* below :
       {"/Desktop", "/Documents/Emberdale", "/Downloads/Games/Emberdale",
        "/Library/Mobile Documents/com~apple~CloudDocs/Emberdale", "/Library/CloudStorage/Drive"}) {
    EXPECT_EQ(ValidateInstallRoot(Home(below)), kProtected) << below;
    EXPECT_FALSE(fs::exists(Home(below))) << below;
  }
  EXPECT_EQ(ValidateInstallRoot(Home("/Documents2/Emberdale")), "") << "only below the folder";
  EXPECT_TRUE(fs::is_directory(Home("/Documents2/Emberdale")));
}

TEST_F(ValidateInstallRootTest, NonEmptyFolderNeedsAnEarlierInstallation) {
  const std::string folder = Home("/Games/Emberdale");
  WriteFile(folder + "/notes.txt", "mine");
  EXPECT_EQ(ValidateInstallRoot(folder), kForeignContent + folder);

  WriteFile(folder + "/config/versions.json", "{}");
  EXPECT_EQ(ValidateInstallRoot(folder), "") << "reinstall over an earlier installation";
}

// Root reads any folder: the check runs in a child that gave up all its capabilities.
TEST_F(ValidateInstallRootTest, FolderThatCannotBeListedCountsAsForeign) {
  const std::string folder = Home("/Games/Emberdale");
  fs::create_directories(folder);
  fs::permissions(folder, static_cast<fs::perms>(0333));  // writable and enterable, not readable
  const auto run = emberdale::test::RunInChild(
      [&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[2]{};
        syscall(SYS_capset, &header, none);
        return ValidateInstallRoot(folder) == kForeignContent + folder ? 0 : 1;
      },
      emberdale::test::ChildStdout::Pipe);
  EXPECT_EQ(run.exitCode, 0) << "refused for its foreign content";
}

TEST_F(ValidateInstallRootTest, EmptyOrMissingFolderIsAcceptedAndCreated) {
  EXPECT_EQ(ValidateInstallRoot(Home()), "") << "home itself, while empty";
  fs::create_directories(Home("/Empty"));
  EXPECT_EQ(ValidateInstallRoot(Home("/Empty")), "");

  const std::string missing = Home("/Games/Collection/Emberdale");
  EXPECT_EQ(ValidateInstallRoot(missing), "");
  EXPECT_TRUE(fs::is_directory(missing));
}

// access(W_OK) always succeeds for root, so the folder is made impossible to create instead: its
// parent is a regular file. The same text covers both.
TEST_F(ValidateInstallRootTest, FolderThatCannotBeCreatedIsNotWritable) {
  WriteFile(Home("/Games"), "a file, not a folder");
  const std::string below = Home("/Games/Emberdale");
  EXPECT_EQ(ValidateInstallRoot(below), kNotWritable + below);
  EXPECT_EQ(ValidateInstallRoot(Home("/Games")), kNotWritable + Home("/Games"))
      << "a regular file in place of the folder";
}

TEST_F(ValidateInstallRootTest, ReasonsFollowTheRussianTable) {
  g_uiText = &UiTextFor(Language::Russian);
  EXPECT_EQ(ValidateInstallRoot("/opt/Emberdale"),
            "Выберите папку внутри домашней папки или на внешнем диске.");
  EXPECT_EQ(ValidateInstallRoot(Home("/Documents/Emberdale")),
            "Эта папка защищена macOS или синхронизируется с iCloud. Выберите другую папку.");
  const std::string folder = Home("/Games");
  WriteFile(folder + "/notes.txt", "mine");
  EXPECT_EQ(ValidateInstallRoot(folder),
            "Папка уже существует и содержит посторонние файлы:\n" + folder);
  WriteFile(Home("/File"), "");
  EXPECT_EQ(ValidateInstallRoot(Home("/File/Emberdale")),
            "Нет прав на запись в папку:\n" + Home("/File/Emberdale"));
}

// A real tmpfs mounted noexec inside the home folder, in a private mount namespace of this test
// process.
TEST_F(ValidateInstallRootTest, FolderOnANoExecVolumeGetsTheVolumeText) {
  if (const std::string reason = emberdale::test::EnterPrivateMountNamespace(); !reason.empty()) {
    GTEST_SKIP() << "needs root and a mount namespace to mount a noexec volume: " << reason;
  }
  const std::string volume = Home("/External");
  fs::create_directory(volume);
  ASSERT_EQ(mount("emberdale-noexec", volume.c_str(), "tmpfs", MS_NOEXEC, "size=1m"), 0)
      << std::strerror(errno);
  const std::string folder = volume + "/Emberdale";
  const std::string reason = ValidateInstallRoot(folder);
  umount2(volume.c_str(), MNT_DETACH);
  EXPECT_EQ(reason, std::string(UiTextFor(Language::English).noexecVolume) + folder);
}

}  // namespace
