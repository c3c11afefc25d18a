// ctest-labels: quick;root
#include "posix/executable_replace.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "posix/process.h"
#include "tests/support/mount_namespace.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

const fs::path kProbe = fs::path(EMBERDALE_TEST_HELPERS_DIR) / "exec_self_probe";
constexpr unsigned long kExfatImageBytes = 8 << 20;

std::expected<RunResult, std::string> RunCaptured(const std::vector<std::string>& argv,
                                                  const std::string& workingDirectory = {}) {
  return Run(argv, RunOptions{.workingDirectory = workingDirectory,
                              .captureOutput = true,
                              .captureStderr = true});
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

// Zips the top-level entries of src with the zip tool.
void MakeZip(const fs::path& src, const fs::path& archive) {
  std::vector<std::string> argv = {"zip", "-q", "-r", archive.string()};
  for (const auto& entry : fs::directory_iterator(src)) argv.push_back(entry.path().filename());
  const auto result = RunCaptured(argv, src.string());
  ASSERT_TRUE(result) << result.error();
  ASSERT_EQ(result->exitCode, 0) << result->output;
}

class ExecutableReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(exe_, "old binary"); }

  fs::path Side(std::string_view suffix) const { return exe_.string() + std::string(suffix); }

  // exe is as before and neither side file is left.
  void ExpectUntouched() const {
    EXPECT_EQ(ReadFile(exe_), "old binary");
    EXPECT_FALSE(fs::exists(Side(".new")));
    EXPECT_FALSE(fs::exists(Side(".backup")));
  }

  test::TempDir temp_;
  fs::path exe_ = temp_ / "Emberdale Updater.app" / "Contents" / "MacOS" / "EmberdaleUpdater";
  fs::path unpack_ = temp_ / "install" / "temp" / "updater-unpacked";
};

TEST_F(ExecutableReplaceTest, BareExecutableIsCopiedInAndTheOldOneKept) {
  const fs::path package = temp_ / "install" / "temp" / "updater-package";
  WriteFile(package, "new binary");

  ASSERT_TRUE(ReplaceExecutable(exe_, package, unpack_));
  EXPECT_EQ(ReadFile(exe_), "new binary");
  EXPECT_EQ(Mode(exe_), 0755u);
  EXPECT_EQ(ReadFile(Side(".backup")), "old binary");
  EXPECT_FALSE(fs::exists(Side(".new")));
  EXPECT_FALSE(fs::exists(unpack_.parent_path() / "updater-unpacked"));
  EXPECT_EQ(ReadFile(package), "new binary") << "the package itself stays for the run to delete";

  RestoreExecutableBackup(exe_);
  EXPECT_EQ(ReadFile(exe_), "old binary");
  EXPECT_FALSE(fs::exists(Side(".backup")));
  RestoreExecutableBackup(exe_);  // no backup any more: nothing happens
  EXPECT_EQ(ReadFile(exe_), "old binary");
}

TEST_F(ExecutableReplaceTest, ExecutableTwoFoldersDeepInAZipIsFound) {
  const fs::path src = temp_ / "package";
  WriteFile(src / "EmberdaleUpdater" / "README", "a folder of the same name is not the binary");
  WriteFile(src / "updater" / "MacOS" / "EmberdaleUpdater", "new binary");
  WriteFile(unpack_ / "stale", "left by an earlier run");
  // A '#' in a folder above (an install folder such as ~/C#/Emberdale) must not hide the extension.
  const fs::path package = temp_ / "C#" / "Emberdale" / "temp" / "updater-package.zip";
  fs::create_directories(package.parent_path());
  MakeZip(src, package);

  ASSERT_TRUE(ReplaceExecutable(exe_, package, unpack_));
  EXPECT_EQ(ReadFile(exe_), "new binary");
  EXPECT_EQ(ReadFile(Side(".backup")), "old binary");
  EXPECT_FALSE(fs::exists(unpack_));

  RemoveExecutableBackup(exe_);
  EXPECT_FALSE(fs::exists(Side(".backup")));
  RemoveExecutableBackup(exe_);  // already gone: ignored
}

TEST_F(ExecutableReplaceTest, PackagesWithoutTheExecutableLeaveItUntouched) {
  const fs::path src = temp_ / "package";
  WriteFile(src / "updater" / "OtherTool", "x");
  const fs::path zip = temp_ / "updater-package.zip";
  MakeZip(src, zip);
  auto result = ReplaceExecutable(exe_, zip, unpack_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "the package doesn't contain EmberdaleUpdater");
  ExpectUntouched();

  const fs::path gz = temp_ / "updater-package.gz";
  WriteFile(gz, "not a tar");
  result = ReplaceExecutable(exe_, gz, unpack_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "unsupported package type: updater-package.gz");
  ExpectUntouched();
}

TEST_F(ExecutableReplaceTest, StagingAndRenameFailuresLeaveNoSideFiles) {
  auto result = ReplaceExecutable(exe_, temp_ / "missing-package", unpack_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "can't stage the new binary: No such file or directory");
  ExpectUntouched();

  // An immutable file can't be replaced, not even by root; it can still be copied as the backup.
  const fs::path fixed = temp_ / "EmberdaleUpdater";
  WriteFile(fixed, "old binary");
  WriteFile(temp_ / "updater-package", "new binary");
  const auto made = RunCaptured({"chattr", "+i", fixed.string()});
  if (!made || made->exitCode != 0) GTEST_SKIP() << "needs root and chattr";
  result = ReplaceExecutable(fixed, temp_ / "updater-package", unpack_);
  (void)RunCaptured({"chattr", "-i", fixed.string()});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "can't replace " + fixed.string() + ": Operation not permitted");
  EXPECT_FALSE(fs::exists(fixed.string() + ".new") || fs::exists(fixed.string() + ".backup"));
  EXPECT_EQ(ReadFile(fixed), "old binary");
}

TEST(ExecSelfTest, ReplacesTheProcessImageKeepingArgumentsAndEnvironment) {
  test::TempDir temp;
  const fs::path target = temp / "EmberdaleUpdater";
  fs::copy_file(kProbe, target);
  setenv("EMBERDALE_PROBE_MARK", "kept", 1);

  const auto result =
      RunCaptured({kProbe.string(), target.string(), "--print-args", "one", "two words", ""});
  unsetenv("EMBERDALE_PROBE_MARK");
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->exitCode, 0);
  EXPECT_EQ(result->output,
            "arg: " + target.string() +
                "\narg: --print-args\narg: one\narg: two words\narg: \nenv: kept\n");
}

TEST(ExecSelfTest, FailureReturnsTheSystemErrorText) {
  test::TempDir temp;
  WriteFile(temp / "not-executable", "#!/bin/sh\necho ran\n");
  fs::permissions(temp / "not-executable", static_cast<fs::perms>(0644));

  auto result = RunCaptured({kProbe.string(), (temp / "missing").string()});
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->output, "ExecSelf failed: No such file or directory\n");
  EXPECT_EQ(result->exitCode, 3);

  result = RunCaptured({kProbe.string(), (temp / "not-executable").string()});
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->output, "ExecSelf failed: Permission denied\n");
}

TEST_F(ExecutableReplaceTest, NewBinaryThatCantRunIsSwappedBackForTheOldOne) {
  fs::copy_file(kProbe, exe_, fs::copy_options::overwrite_existing);
  const std::string oldBytes = ReadFile(exe_);
  WriteFile(temp_ / "updater-package", "not a program");
  ASSERT_TRUE(ReplaceExecutable(exe_, temp_ / "updater-package", unpack_));

  auto result = RunCaptured({kProbe.string(), exe_.string(), "--print-args"});
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->output, "ExecSelf failed: Exec format error\n");

  RestoreExecutableBackup(exe_);
  EXPECT_EQ(ReadFile(exe_), oldBytes);
  EXPECT_FALSE(fs::exists(Side(".backup")));
  result = RunCaptured({exe_.string(), "--print-args"});
  ASSERT_TRUE(result) << result.error();
  EXPECT_EQ(result->output, "arg: " + exe_.string() + "\narg: --print-args\nenv: \n");
}

// Root only: the updater on an exFAT volume (loop device, FUSE), which refuses hard links.
class ExfatExecutableReplaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string why = test::EnterPrivateMountNamespace(); !why.empty()) {
      GTEST_SKIP() << "needs a private mount namespace: " << why;
    }
    for (const char* tool : {"mkfs.exfat", "losetup", "mount.exfat-fuse"}) {
      if (!CommandExists(tool)) GTEST_SKIP() << "needs " << tool;
    }
    if (std::string why = MountExfat(); !why.empty()) GTEST_SKIP() << why;
  }

  void TearDown() override {
    if (mounted_) (void)RunCaptured({"umount", volume_.string()});
    if (!loopDevice_.empty()) (void)RunCaptured({"losetup", "-d", loopDevice_});
  }

  std::string MountExfat() {
    const fs::path image = temp_ / "exfat.img";
    WriteFile(image, "");
    fs::resize_file(image, kExfatImageBytes);
    const auto made = RunCaptured({"mkfs.exfat", image.string()});
    if (!made || made->exitCode != 0) return "mkfs.exfat failed";
    const auto attached = RunCaptured({"losetup", "--find", "--show", image.string()});
    if (!attached || attached->exitCode != 0) return "no loop device";
    loopDevice_ = attached->output.substr(0, attached->output.find('\n'));
    fs::create_directories(volume_);
    const auto mounted = RunCaptured({"mount.exfat-fuse", loopDevice_, volume_.string()});
    if (!mounted || mounted->exitCode != 0) return "can't mount exFAT through FUSE";
    mounted_ = true;
    return {};
  }

  test::TempDir temp_;
  fs::path volume_ = temp_ / "volume";
  std::string loopDevice_;
  bool mounted_ = false;
};

TEST_F(ExfatExecutableReplaceTest, BackupIsACopyWhereHardLinksAreRefused) {
  const fs::path exe = volume_ / "EmberdaleUpdater";
  WriteFile(exe, "old binary");
  std::error_code linkError;
  fs::create_hard_link(exe, volume_ / "link-probe", linkError);
  if (!linkError) GTEST_SKIP() << "this exFAT driver allows hard links";
  WriteFile(temp_ / "updater-package", "new binary");

  ASSERT_TRUE(ReplaceExecutable(exe, temp_ / "updater-package", temp_ / "unpacked"));
  EXPECT_EQ(ReadFile(exe), "new binary");
  EXPECT_EQ(ReadFile(exe.string() + ".backup"), "old binary");

  RestoreExecutableBackup(exe);
  EXPECT_EQ(ReadFile(exe), "old binary");
  EXPECT_FALSE(fs::exists(exe.string() + ".backup"));
}

TEST_F(ExfatExecutableReplaceTest, BackupCopyCutShortByAFullVolumeRefusesTheUpdate) {
  const fs::path exe = volume_ / "EmberdaleUpdater";
  WriteFile(exe, std::string(3 << 20, 'o'));
  std::error_code linkError;
  fs::create_hard_link(exe, volume_ / "link-probe", linkError);
  if (!linkError) GTEST_SKIP() << "this exFAT driver allows hard links";
  struct statvfs volume {};
  ASSERT_EQ(statvfs(volume_.c_str(), &volume), 0);
  WriteFile(volume_ / "filler", std::string(volume.f_bavail * volume.f_frsize - (1 << 20), 'f'));
  WriteFile(temp_ / "updater-package", "new binary");

  const auto result = ReplaceExecutable(exe, temp_ / "updater-package", temp_ / "unpacked");
  ASSERT_FALSE(result) << "without a whole backup a new binary that can't start can't be undone";
  EXPECT_TRUE(result.error().starts_with("can't back up " + exe.string())) << result.error();
  EXPECT_EQ(fs::file_size(exe), 3u << 20);
  EXPECT_FALSE(fs::exists(exe.string() + ".backup") || fs::exists(exe.string() + ".new"));
}

}  // namespace
}  // namespace emberdale::posix
