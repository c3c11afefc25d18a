// ctest-labels: root
#include "posix/install_volume.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "posix/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::posix::CheckInstallVolume;
using emberdale::posix::CommandExists;
using emberdale::posix::Run;
using emberdale::posix::RunOptions;
using emberdale::posix::RunResult;
using emberdale::posix::VolumeProblem;
using emberdale::test::TempDir;

constexpr unsigned long kExfatImageBytes = 8 << 20;

fs::path ProbeIn(const fs::path& dir) {
  return dir / (".emberdale-link-check-" + std::to_string(getpid()));
}

std::vector<std::string> Entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

std::expected<RunResult, std::string> RunCaptured(const std::vector<std::string>& argv) {
  RunOptions options;
  options.captureOutput = true;
  options.captureStderr = true;
  return Run(argv, options);
}

TEST(InstallVolume, NormalFolderHasNoProblemAndKeepsNoProbe) {
  TempDir dir;
  EXPECT_EQ(CheckInstallVolume(dir.path()), std::nullopt);
  EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(InstallVolume, LeftoverProbeOfThisProcessIsReplacedAndRemoved) {
  TempDir dir;
  fs::create_symlink("elsewhere", ProbeIn(dir.path()));
  EXPECT_EQ(CheckInstallVolume(dir.path()), std::nullopt);
  EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(InstallVolume, MissingFolderHasNoProblemAndIsNotCreated) {
  TempDir dir;
  EXPECT_EQ(CheckInstallVolume(dir / "not-yet"), std::nullopt);
  EXPECT_FALSE(fs::exists(dir / "not-yet"));
}

// Real volumes, mounted in a mount namespace of this test process so nothing shows outside it and
// everything goes away with the process.
class MountedVolumeTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) {
      skipReason_ = "needs root to mount volumes";
    } else if (unshare(CLONE_NEWNS) != 0) {
      skipReason_ = std::string("can't enter a mount namespace: ") + std::strerror(errno);
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      skipReason_ = std::string("can't make the mounts private: ") + std::strerror(errno);
    }
  }
  void SetUp() override {
    if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
  }
  void TearDown() override {
    for (auto it = mounted_.rbegin(); it != mounted_.rend(); ++it) {
      if (umount2(it->c_str(), 0) != 0) umount2(it->c_str(), MNT_DETACH);
    }
  }

  // Mounts a small tmpfs with the flags at a new folder of the test's directory.
  fs::path MountTmpfs(const std::string& name, unsigned long flags) {
    const fs::path point = dir_ / name;
    fs::create_directory(point);
    if (mount("tmpfs", point.c_str(), "tmpfs", flags, "size=1m") != 0) {
      ADD_FAILURE() << "mount tmpfs: " << std::strerror(errno);
      return {};
    }
    mounted_.push_back(point);
    return point;
  }

  TempDir dir_;
  std::vector<fs::path> mounted_;
  static inline std::string skipReason_;
};

TEST_F(MountedVolumeTest, NoExecVolumeIsFoundWithoutWritingToIt) {
  const fs::path volume = MountTmpfs("noexec", MS_NOEXEC);
  ASSERT_FALSE(volume.empty());
  EXPECT_EQ(CheckInstallVolume(volume), VolumeProblem::NoExec);
  EXPECT_TRUE(Entries(volume).empty());

  fs::create_directory(volume / "Emberdale");
  EXPECT_EQ(CheckInstallVolume(volume / "Emberdale"), VolumeProblem::NoExec) << "any folder on it";
}

TEST_F(MountedVolumeTest, ReadOnlyVolumeIsLeftToTheCallersChecks) {
  const fs::path volume = MountTmpfs("readonly", MS_RDONLY);
  ASSERT_FALSE(volume.empty());
  EXPECT_EQ(CheckInstallVolume(volume), std::nullopt);
  EXPECT_TRUE(Entries(volume).empty());
}

TEST_F(MountedVolumeTest, ExecutableTmpfsHasNoProblem) {
  const fs::path volume = MountTmpfs("plain", 0);
  ASSERT_FALSE(volume.empty());
  EXPECT_EQ(CheckInstallVolume(volume), std::nullopt);
  EXPECT_TRUE(Entries(volume).empty());
}

// An exFAT image attached to a loop device and mounted through FUSE, as an external disk would be.
class ExfatVolumeTest : public MountedVolumeTest {
 protected:
  void SetUp() override {
    MountedVolumeTest::SetUp();
    if (IsSkipped()) return;
    for (const char* tool : {"mkfs.exfat", "losetup", "mount.exfat-fuse"}) {
      if (!CommandExists(tool)) GTEST_SKIP() << "needs " << tool << " (scripts/setup.sh)";
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "needs /dev/fuse";
  }
  void TearDown() override {
    MountedVolumeTest::TearDown();  // the FUSE daemon ends with its mount
    if (!loopDevice_.empty()) (void)RunCaptured({"losetup", "-d", loopDevice_});
  }

  // The mounted volume, or empty with the reason recorded as a failure or a skip.
  fs::path MountExfat() {
    const fs::path image = dir_ / "volume.img";
    emberdale::test::WriteFile(image, "");
    fs::resize_file(image, kExfatImageBytes);
    const auto made = RunCaptured({"mkfs.exfat", image.string()});
    if (!made || made->exitCode != 0) {
      ADD_FAILURE() << "mkfs.exfat: " << (made ? made->output : made.error());
      return {};
    }
    const auto attached = RunCaptured({"losetup", "--find", "--show", image.string()});
    if (!attached || attached->exitCode != 0) {
      skip_ = "no loop device: " + (attached ? attached->output : attached.error());
      return {};
    }
    loopDevice_ = attached->output.substr(0, attached->output.find('\n'));
    const fs::path point = dir_ / "exfat";
    fs::create_directory(point);
    const auto mounted = RunCaptured({"mount.exfat-fuse", loopDevice_, point.string()});
    if (!mounted || mounted->exitCode != 0) {
      skip_ = "can't mount exFAT through FUSE: " + (mounted ? mounted->output : mounted.error());
      return {};
    }
    mounted_.push_back(point);
    return point;
  }

  std::string loopDevice_;
  std::string skip_;
};

TEST_F(ExfatVolumeTest, RefusesSymbolicLinksAndKeepsNoProbe) {
  const fs::path volume = MountExfat();
  if (volume.empty() && !skip_.empty()) GTEST_SKIP() << skip_;
  ASSERT_FALSE(volume.empty());
  const auto before = Entries(volume);
  EXPECT_EQ(CheckInstallVolume(volume), VolumeProblem::NoSymlinks);
  EXPECT_EQ(Entries(volume), before);
  EXPECT_FALSE(fs::exists(fs::symlink_status(ProbeIn(volume))));
}

}  // namespace
