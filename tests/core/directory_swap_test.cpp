// Directory swaps over real trees. A rename fails for real when it crosses into /dev/shm, another
// file system. Hoisting a runtime out of its wrapper folder is tested with the runtime installer
// in tests/posix; here only that a wrapper that is a link is never followed out of the root.
#include "core/directory_swap.h"

#include <gtest/gtest.h>

#include "tests/support/shm_dir.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

TEST(DirectorySwapTest, ReplaceDirectoryLeavesTheOldOrTheNewContentWhole) {
  test::TempDir temp;
  test::ShmDir shm;
  if (!test::OnDifferentDevices(shm.path(), temp.path())) GTEST_SKIP() << "needs /dev/shm apart";
  const std::string exdev = std::make_error_code(std::errc::cross_device_link).message();
  const std::string moved = "target=new staged=- backup=-", kept = "target=old staged=new backup=-";
  const struct {
    bool stagedOnShm, backupOnShm, targetExists;
    std::string error, after;
    int pauses;
  } rows[] = {
      {false, false, false, "", moved, 0},
      {false, false, true, "", moved, 0},
      {true, false, true, "can't move the new Home into place: " + exdev, kept, 19},
      {false, true, true, "can't move the old Home aside (in use?): " + exdev, kept, 19},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.error);
    fs::remove_all(temp / "x"), fs::remove_all(shm / "x");
    const fs::path target = temp / "x/runtime/Contents/Home";
    const fs::path staged = (row.stagedOnShm ? shm.path() : temp.path()) / "x/temp/staging";
    const fs::path backup = (row.backupOnShm ? shm.path() : temp.path()) / "x/temp/backup";
    test::WriteFile(staged / "bin/java", "new");
    if (row.targetExists) test::WriteFile(target / "lib/old-only", "old");
    if (row.targetExists) test::WriteFile(target / "bin/java", "old");
    test::WriteFile(backup / "bin/java", "left by an earlier failure");
    int pauses = 0;
    const auto result = ReplaceDirectory(staged, target, backup, {20, milliseconds(250)},
                                         [&](milliseconds d) { pauses += d.count() == 250; });
    EXPECT_EQ(result.error_or(""), row.error);
    std::string after;
    for (const auto& [name, path] :
         {std::pair{"target", target}, {"staged", staged}, {"backup", backup}}) {
      after += std::format("{}{}={}", after.empty() ? "" : " ", name,
                           fs::exists(path) ? test::ReadFile(path / "bin/java") : "-");
    }
    EXPECT_EQ(after, row.after);
    EXPECT_EQ(fs::exists(target / "lib/old-only"), row.after == kept);
    EXPECT_EQ(pauses, row.pauses);
  }
  int pauses = 0;
  EXPECT_EQ(
      RenameWithRetry(temp / "gone", temp / "b", {20, milliseconds(250)}, [&](auto) { ++pauses; }),
      std::errc::no_such_file_or_directory);
  EXPECT_EQ(pauses, 0);
}

TEST(DirectorySwapTest, HoistNeverFollowsALinkOutOfTheRoot) {
  test::TempDir temp;
  test::WriteFile(temp / "elsewhere/bin/java", "x");
  fs::create_directories(temp / "root");
  fs::create_directory_symlink(temp / "elsewhere", temp / "root/jdk");
  EXPECT_FALSE(HoistSingleWrapperDirectory(temp / "root", "bin/java"));
  EXPECT_TRUE(fs::exists(temp / "elsewhere/bin/java"));
  EXPECT_TRUE(fs::is_symlink(temp / "root/jdk"));
}

}  // namespace
}  // namespace emberdale::core
