// Directory swaps over real trees; renames are made to fail for real by crossing into /dev/shm, a
// different file system.
#include "core/directory_swap.h"

#include <gtest/gtest.h>

#include "tests/support/shm_dir.h"
#include "tests/support/temp_dir.h"

namespace emberdale::core {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using test::Tree;

struct SwapRow {
  std::string name;
  bool stagedOnShm, backupOnShm, targetExists;
  std::string error;
  Tree after;  // what each of the three places holds afterwards ("-": absent)
  int pauses;
};

TEST(DirectorySwapTest, ReplaceDirectoryKeepsOldOrNewContentWhole) {
  test::TempDir temp;
  test::ShmDir shm;
  if (!test::OnDifferentDevices(shm.path(), temp.path()))
    GTEST_SKIP() << "needs /dev/shm on another device";
  const std::string exdev = std::make_error_code(std::errc::cross_device_link).message();
  // clang-format off
  const SwapRow rows[] = {
    {"no old content", false, false, false, "", {{"target", "new"}, {"staged", "-"}, {"backup", "-"}}, 0},
    {"old content replaced whole", false, false, true, "", {{"target", "new"}, {"staged", "-"}, {"backup", "-"}}, 0},
    {"new content can't move in: the old is put back", true, false, true,
     "can't move the new Home into place: " + exdev, {{"target", "old"}, {"staged", "new"}, {"backup", "-"}}, 19},
    {"old content can't move aside", false, true, true,
     "can't move the old Home aside (in use?): " + exdev, {{"target", "old"}, {"staged", "new"}, {"backup", "-"}}, 19},
  };
  // clang-format on
  for (const SwapRow& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(temp / "x"), fs::remove_all(shm / "x");
    const std::map<std::string, fs::path> places = {
        {"staged", (row.stagedOnShm ? shm.path() : temp.path()) / "x/temp/staging"},
        {"target", temp / "x/runtime/Contents/Home"},
        {"backup", (row.backupOnShm ? shm.path() : temp.path()) / "x/temp/backup"}};
    test::WriteFile(places.at("staged") / "bin/java", "new");
    if (row.targetExists) test::WriteFile(places.at("target") / "lib/old-only", "old");
    if (row.targetExists) test::WriteFile(places.at("target") / "bin/java", "old");
    test::WriteFile(places.at("backup") / "stale", "left by an earlier failure");
    int pauses = 0;
    const auto result = ReplaceDirectory(places.at("staged"), places.at("target"),
                                         places.at("backup"), {20, milliseconds(250)},
                                         [&](milliseconds d) { pauses += d == milliseconds(250); });
    EXPECT_EQ(result.error_or(""), row.error);
    Tree after;
    for (const auto& [name, path] : places)
      after[name] = fs::exists(path) ? test::ReadFile(path / "bin/java") : "-";
    EXPECT_EQ(after, row.after);
    if (after["target"] == "new") EXPECT_FALSE(fs::exists(places.at("target") / "lib"));
    EXPECT_EQ(pauses, row.pauses);
  }
  int pauses = 0;
  EXPECT_EQ(RenameWithRetry(temp / "missing", temp / "b", {20, milliseconds(250)},
                            [&](auto) { ++pauses; }),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(pauses, 0);
}

TEST(DirectorySwapTest, HoistsOnlyASingleRealWrapperHoldingTheMarker) {
  // clang-format off
  const std::pair<std::vector<std::string>, Tree> rows[] = {
    {{"bin/java", "release"}, {{"bin", "<dir>"}, {"bin/java", "x"}, {"release", "x"}}},
    {{"jdk/bin/java", "jdk/.hidden"}, {{".hidden", "x"}, {"bin", "<dir>"}, {"bin/java", "x"}}},
    {{"jdk/bin/java", "README"}, {}},
    {{"jdk/lib/modules"}, {}},
    {{"outer/jdk/bin/java"}, {}},
    {{"link->"}, {}},
  };
  // clang-format on
  for (const auto& [files, hoisted] : rows) {
    SCOPED_TRACE(files.front());
    test::TempDir temp;
    fs::create_directories(temp / "root");
    for (const std::string& file : files) {
      if (file == "link->") {
        test::WriteFile(temp / "elsewhere/bin/java", "x");
        fs::create_directory_symlink(temp / "elsewhere", temp / "root/jdk");
      } else {
        test::WriteFile(temp / "root" / file, "x");
      }
    }
    const Tree before = test::ReadTree(temp / "root");
    EXPECT_EQ(HoistSingleWrapperDirectory(temp / "root", "bin/java"), !hoisted.empty());
    EXPECT_EQ(test::ReadTree(temp / "root"), hoisted.empty() ? before : hoisted);
  }
}

}  // namespace
}  // namespace emberdale::core
