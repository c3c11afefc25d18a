// ctest-labels: quick;root
#include "app/install_location.h"

#include <sys/mount.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/ui_text.h"
#include "gtest/gtest.h"
#include "tests/support/mount_namespace.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::Language;
using emberdale::core::UiTextFor;
using emberdale::test::TempDir;

const std::string kOutside = "Please choose a folder inside your home folder or on an external drive.";
const std::string kProtected =
    "This folder is protected by macOS or synced to iCloud. Please choose another folder.";

// "$H" in a text stands for the home folder.
std::string Expand(std::string text, const TempDir& home) {
  for (std::size_t at; (at = text.find("$H")) != std::string::npos;) text.replace(at, 2, home.path());
  return text;
}

// HOME is a fresh folder for each test and each row.
class InstallLocation : public ::testing::Test {
 protected:
  void SetUp() override { setenv("HOME", home_.path().c_str(), 1); }
  void TearDown() override { emberdale::core::g_uiText = &UiTextFor(Language::English); }
  TempDir home_;
};

TEST_F(InstallLocation, RefusalsAndAcceptedFolders) {
  struct Row {
    std::string folder;
    std::string reason;  // "" when accepted, which creates the folder
    std::vector<const char*> files = {};  // made below home first
  };
  const Row rows[] = {
      {"/opt/Emberdale", kOutside},
      {"$H2/Emberdale", kOutside},
      {"/Volumes2/Emberdale", kOutside},
      {"Games/Emberdale", kOutside},
      {"$H/Desktop", kProtected},
      {"$H/Documents/Emberdale", kProtected},
      {"$H/Downloads/Games/Emberdale", kProtected},
      {"$H/Library/Mobile Documents/com~apple~CloudDocs/Emberdale", kProtected},
      {"$H/Library/CloudStorage/Drive/Emberdale", kProtected},
      {"$H/Documents2/Emberdale", ""},
      {"$H/Games/Collection/Emberdale", ""},
      {"$H", ""},
      {"$H/Mine", "The folder already exists and contains other files:\n$H/Mine", {"Mine/notes.txt"}},
      {"$H/Old", "", {"Old/notes.txt", "Old/config/versions.json"}},
      {"$H/File/Emberdale", "The folder is not writable:\n$H/File/Emberdale", {"File"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.folder);
    TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    for (const char* file : row.files) emberdale::test::WriteFile(home / file, "");
    const std::string folder = Expand(row.folder, home);
    EXPECT_EQ(ValidateInstallRoot(folder), Expand(row.reason, home));
    if (row.files.empty()) EXPECT_EQ(fs::is_directory(folder), row.reason.empty());
  }
}

TEST_F(InstallLocation, ReasonsFollowTheRussianTable) {
  emberdale::core::g_uiText = &UiTextFor(Language::Russian);
  EXPECT_EQ(ValidateInstallRoot("/opt/Emberdale"),
            "Выберите папку внутри домашней папки или на внешнем диске.");
}

TEST_F(InstallLocation, NoExecVolumeIsRefused) {
  if (const std::string reason = emberdale::test::EnterPrivateMountNamespace(); !reason.empty()) {
    GTEST_SKIP() << "needs root and a mount namespace to mount a noexec volume: " << reason;
  }
  fs::create_directory(home_ / "External");
  ASSERT_EQ(mount("noexec", (home_ / "External").c_str(), "tmpfs", MS_NOEXEC, "size=1m"), 0);
  const std::string reason = ValidateInstallRoot(Expand("$H/External/Emberdale", home_));
  umount2((home_ / "External").c_str(), MNT_DETACH);
  EXPECT_EQ(reason, UiTextFor(Language::English).noexecVolume + Expand("$H/External/Emberdale", home_));
}

TEST(ChosenFolder, GetsAnEmberdaleFolderUnlessItIsOne) {
  EXPECT_EQ(InstallDirForChosenFolder("/Users/x/Games"), "/Users/x/Games/Emberdale");
  EXPECT_EQ(InstallDirForChosenFolder("/Users/x/Emberdale/"), "/Users/x/Emberdale");
  EXPECT_EQ(InstallDirForChosenFolder("/Users/x/emberdale"), "/Users/x/emberdale/Emberdale");
}

}  // namespace
