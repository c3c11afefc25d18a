#include "core/directory_swap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/shm_dir.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using test::ReadFile;
using test::WriteFile;

// Records every pause instead of sleeping.
struct SleepRecorder {
  std::vector<milliseconds> pauses;
  Sleeper AsSleeper() {
    return [this](milliseconds delay) { pauses.push_back(delay); };
  }
};

constexpr RenameRetry kRuntimeRetry{20, milliseconds(250)};

// Sorted names of the direct entries of dir.
std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class HoistTest : public ::testing::Test {
 protected:
  test::TempDir temp_;
  fs::path root_ = temp_ / "staging";
};

TEST_F(HoistTest, MarkerAlreadyAtTheRootMovesNothing) {
  WriteFile(root_ / "bin" / "java", "java");
  WriteFile(root_ / "release", "r");
  EXPECT_TRUE(HoistSingleWrapperDirectory(root_, "bin/java"));
  EXPECT_EQ(Names(root_), (std::vector<std::string>{"bin", "release"}));
}

TEST_F(HoistTest, SingleWrapperHoldingTheMarkerIsHoistedOneLevel) {
  WriteFile(root_ / "jdk-x" / "bin" / "java", "java");
  WriteFile(root_ / "jdk-x" / "lib" / "modules", "m");
  WriteFile(root_ / "jdk-x" / ".hidden", "h");
  EXPECT_TRUE(HoistSingleWrapperDirectory(root_, "bin/java"));
  EXPECT_EQ(Names(root_), (std::vector<std::string>{".hidden", "bin", "lib"}));
  EXPECT_EQ(ReadFile(root_ / "bin" / "java"), "java");
  EXPECT_EQ(ReadFile(root_ / "lib" / "modules"), "m");
}

TEST_F(HoistTest, LayoutsWithoutAUsableWrapperAreRefusedUntouched) {
  struct Case {
    std::string what;
    std::vector<std::string> files;  // relative to root; a trailing '/' makes a directory
  };
  const std::vector<Case> cases = {
      {"empty root", {}},
      {"two entries", {"jdk-x/bin/java", "README"}},
      {"one file", {"java"}},
      {"one folder without the marker", {"jdk-x/lib/modules"}},
      {"a wrapper inside a wrapper", {"outer/jdk-x/bin/java"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::TempDir temp;
    const fs::path root = temp / "staging";
    fs::create_directories(root);
    for (const std::string& file : c.files) WriteFile(root / file, "x");
    const std::vector<std::string> before = Names(root);
    EXPECT_FALSE(HoistSingleWrapperDirectory(root, "bin/java"));
    EXPECT_EQ(Names(root), before);
    EXPECT_FALSE(fs::exists(root / ".hoist-wrapper"));
  }
}

TEST_F(HoistTest, WrapperThatIsALinkIsNotFollowedOutOfTheRoot) {
  const fs::path elsewhere = temp_ / "elsewhere";
  WriteFile(elsewhere / "bin" / "java", "java");
  fs::create_directories(root_);
  fs::create_directory_symlink(elsewhere, root_ / "jdk-x");
  EXPECT_FALSE(HoistSingleWrapperDirectory(root_, "bin/java"));
  EXPECT_EQ(Names(elsewhere), std::vector<std::string>{"bin"});
  EXPECT_EQ(Names(root_), std::vector<std::string>{"jdk-x"});
}

class ReplaceDirectoryTest : public ::testing::Test {
 protected:
  test::TempDir temp_;
  fs::path staged_ = temp_ / "temp" / "staging-jre";
  fs::path target_ = temp_ / "Contents" / "runtime" / "Contents" / "Home";
  fs::path backup_ = temp_ / "temp" / "backup-jre";
  SleepRecorder sleeper_;
};

TEST_F(ReplaceDirectoryTest, MissingTargetGetsItsParentsAndTheStagedContent) {
  WriteFile(staged_ / "bin" / "java", "new");
  ASSERT_TRUE(ReplaceDirectory(staged_, target_, backup_, kRuntimeRetry, sleeper_.AsSleeper()));
  EXPECT_EQ(ReadFile(target_ / "bin" / "java"), "new");
  EXPECT_FALSE(fs::exists(staged_));
  EXPECT_FALSE(fs::exists(backup_));
  EXPECT_TRUE(sleeper_.pauses.empty());
}

TEST_F(ReplaceDirectoryTest, ExistingTargetIsReplacedWholeAndTheBackupRemoved) {
  WriteFile(target_ / "bin" / "java", "old");
  WriteFile(target_ / "lib" / "old-only", "old");
  WriteFile(backup_ / "stale", "left by an earlier failure");
  WriteFile(staged_ / "bin" / "java", "new");
  ASSERT_TRUE(ReplaceDirectory(staged_, target_, backup_, kRuntimeRetry, sleeper_.AsSleeper()));
  EXPECT_EQ(ReadFile(target_ / "bin" / "java"), "new");
  EXPECT_FALSE(fs::exists(target_ / "lib"));
  EXPECT_FALSE(fs::exists(backup_));
  EXPECT_FALSE(fs::exists(staged_));
}

TEST_F(ReplaceDirectoryTest, NewContentThatCantBeMovedInIsRetriedThenTheOldContentIsPutBack) {
  test::ShmDir shm;
  if (!test::OnDifferentDevices(shm.path(), temp_.path())) {
    GTEST_SKIP() << "needs /dev/shm on another file system than the temp folder";
  }
  const fs::path staged = shm / "staging-jre";  // on another device: its rename fails (EXDEV)
  WriteFile(staged / "bin" / "java", "new");
  WriteFile(target_ / "bin" / "java", "old");
  fs::create_directories(backup_.parent_path());

  const auto result =
      ReplaceDirectory(staged, target_, backup_, kRuntimeRetry, sleeper_.AsSleeper());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "can't move the new Home into place: " +
                                std::error_code(EXDEV, std::generic_category()).message());
  EXPECT_EQ(sleeper_.pauses, std::vector<milliseconds>(19, milliseconds(250)));
  EXPECT_EQ(ReadFile(target_ / "bin" / "java"), "old");
  EXPECT_FALSE(fs::exists(backup_));
  EXPECT_EQ(ReadFile(staged / "bin" / "java"), "new");
}

TEST_F(ReplaceDirectoryTest, OldContentThatCantBeMovedAsideLeavesEverythingAsItWas) {
  test::ShmDir shm;
  if (!test::OnDifferentDevices(shm.path(), temp_.path())) {
    GTEST_SKIP() << "needs /dev/shm on another file system than the temp folder";
  }
  const fs::path backup = shm / "backup-jre";  // on another device: moving aside fails
  WriteFile(staged_ / "bin" / "java", "new");
  WriteFile(target_ / "bin" / "java", "old");

  const auto result = ReplaceDirectory(staged_, target_, backup, RenameRetry{3, milliseconds(5)},
                                       sleeper_.AsSleeper());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "can't move the old Home aside (in use?): " +
                                std::error_code(EXDEV, std::generic_category()).message());
  EXPECT_EQ(sleeper_.pauses.size(), 2u);
  EXPECT_EQ(ReadFile(target_ / "bin" / "java"), "old");
  EXPECT_EQ(ReadFile(staged_ / "bin" / "java"), "new");
}

class RenameWithRetryTest : public ::testing::Test {
 protected:
  test::TempDir temp_;
  SleepRecorder sleeper_;
};

TEST_F(RenameWithRetryTest, SucceedsAtOnce) {
  WriteFile(temp_ / "a", "x");
  EXPECT_FALSE(RenameWithRetry(temp_ / "a", temp_ / "b", kRuntimeRetry, sleeper_.AsSleeper()));
  EXPECT_EQ(ReadFile(temp_ / "b"), "x");
  EXPECT_TRUE(sleeper_.pauses.empty());
}

TEST_F(RenameWithRetryTest, MissingSourceGivesUpAfterOneAttemptWithoutPausing) {
  const std::error_code ec =
      RenameWithRetry(temp_ / "missing", temp_ / "b", kRuntimeRetry, sleeper_.AsSleeper());
  EXPECT_EQ(ec, std::errc::no_such_file_or_directory);
  EXPECT_TRUE(sleeper_.pauses.empty());
}

TEST_F(RenameWithRetryTest, PersistentFailurePausesBetweenAttemptsOnlyWhenADelayIsSet) {
  // A directory can't replace a non-empty directory: every attempt fails while the source stays.
  WriteFile(temp_ / "from" / "f", "x");
  WriteFile(temp_ / "to" / "occupied", "y");

  EXPECT_EQ(RenameWithRetry(temp_ / "from", temp_ / "to", RenameRetry{4, milliseconds(7)},
                            sleeper_.AsSleeper()),
            std::errc::directory_not_empty);
  EXPECT_EQ(sleeper_.pauses, std::vector<milliseconds>(3, milliseconds(7)));

  sleeper_.pauses.clear();
  EXPECT_TRUE(RenameWithRetry(temp_ / "from", temp_ / "to", RenameRetry{4, milliseconds(0)},
                              sleeper_.AsSleeper()));
  EXPECT_TRUE(sleeper_.pauses.empty());
  EXPECT_TRUE(fs::exists(temp_ / "from" / "f"));
}

}  // namespace
}  // namespace emberdale::core
