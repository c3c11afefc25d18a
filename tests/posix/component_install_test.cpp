// ctest-labels: quick;root
#include "posix/component_install.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "posix/process.h"
#include "tests/support/log_capture.h"
#include "tests/support/mount_namespace.h"
#include "tests/support/shm_dir.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using test::ReadFile;
using test::WriteFile;

// Every entry below dir by relative path: "dir", "file:<content>" or "link:<target>".
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> tree;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
       ++it) {
    const std::string relative = fs::relative(it->path(), dir);
    if (it->is_symlink()) {
      tree[relative] = "link:" + fs::read_symlink(it->path()).string();
    } else if (it->is_directory()) {
      tree[relative] = "dir";
    } else {
      tree[relative] = "file:" + ReadFile(it->path());
    }
  }
  return tree;
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

// Packs the top-level entries of src with a real archiver, as a package would be built.
void Pack(const std::vector<std::string>& command, const fs::path& src) {
  std::vector<std::string> argv = command;
  for (const std::string& name : Names(src)) argv.push_back(name);
  auto result = Run(
      argv,
      RunOptions{.workingDirectory = src.string(), .captureOutput = true, .captureStderr = true});
  ASSERT_TRUE(result) << result.error();
  ASSERT_EQ(result->exitCode, 0) << result->output;
}

void MakeTarGz(const fs::path& src, const fs::path& archive) {
  Pack({"tar", "-czf", archive.string()}, src);
}

void MakeZip(const fs::path& src, const fs::path& archive) {
  Pack({"zip", "-q", "-r", "-y", archive.string()}, src);
}

class LauncherInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(install_ / "Contents" / "MacOS" / "EmberdaleLauncher", "old launcher");
    WriteFile(install_ / "Contents" / "old-only.txt", "dropped by the update");
    WriteFile(install_ / "Contents" / "runtime" / "Contents" / "Home" / "bin" / "java", "jre");
    WriteFile(install_ / "config" / "versions.json", "{}");
    fs::create_directories(work_);
  }

  test::TempDir temp_;
  fs::path install_ = temp_ / "install";
  fs::path work_ = temp_ / "work";
  fs::path package_src_ = temp_ / "package";
};

TEST_F(LauncherInstallTest, ItemsAreSwappedInAndTheOldRuntimeIsCarriedOver) {
  WriteFile(package_src_ / "Contents" / "MacOS" / "EmberdaleLauncher", "new launcher");
  WriteFile(package_src_ / "Contents" / "Resources" / "app.jar", "jar");
  WriteFile(package_src_ / "extras" / "readme.txt", "new top-level item");
  const fs::path package = temp_ / "launcher-package.tar.gz";
  MakeTarGz(package_src_, package);

  ASSERT_TRUE(InstallLauncherPackage(package, install_, work_));

  EXPECT_EQ(Snapshot(install_ / "Contents"), (std::map<std::string, std::string>{
                                                 {"MacOS", "dir"},
                                                 {"MacOS/EmberdaleLauncher", "file:new launcher"},
                                                 {"Resources", "dir"},
                                                 {"Resources/app.jar", "file:jar"},
                                                 {"runtime", "dir"},
                                                 {"runtime/Contents", "dir"},
                                                 {"runtime/Contents/Home", "dir"},
                                                 {"runtime/Contents/Home/bin", "dir"},
                                                 {"runtime/Contents/Home/bin/java", "file:jre"},
                                             }));
  EXPECT_EQ(ReadFile(install_ / "extras" / "readme.txt"), "new top-level item");
  EXPECT_EQ(ReadFile(install_ / "config" / "versions.json"), "{}");
  EXPECT_TRUE(fs::is_empty(work_)) << "staging and backups are removed";
}

TEST_F(LauncherInstallTest, PackageWithItsOwnRuntimeKeepsItAndDropsTheOldOne) {
  WriteFile(package_src_ / "Contents" / "MacOS" / "EmberdaleLauncher", "new launcher");
  WriteFile(package_src_ / "Contents" / "runtime" / "bundled.txt", "packaged runtime");
  const fs::path package = temp_ / "launcher-package.zip";
  MakeZip(package_src_, package);

  ASSERT_TRUE(InstallLauncherPackage(package, install_, work_));

  EXPECT_EQ(Names(install_ / "Contents" / "runtime"), std::vector<std::string>{"bundled.txt"});
  EXPECT_EQ(ReadFile(install_ / "Contents" / "MacOS" / "EmberdaleLauncher"), "new launcher");
  EXPECT_TRUE(fs::is_empty(work_));
}

TEST_F(LauncherInstallTest, PackageThatUnpacksToNothingFailsAndChangesNothing) {
  WriteFile(package_src_ / "__MACOSX" / "Contents" / "._EmberdaleLauncher", "resource fork");
  const fs::path package = temp_ / "launcher-package.zip";
  MakeZip(package_src_, package);
  const auto before = Snapshot(install_);

  const auto result = InstallLauncherPackage(package, install_, work_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "the launcher package is empty");
  EXPECT_EQ(Snapshot(install_), before);
}

TEST_F(LauncherInstallTest, ItemThatCantBeMovedAsideStopsWithEverythingInPlace) {
  test::ShmDir shm;
  if (!test::OnDifferentDevices(shm.path(), temp_.path())) {
    GTEST_SKIP() << "needs /dev/shm on another file system than the temp folder";
  }
  WriteFile(package_src_ / "Contents" / "MacOS" / "EmberdaleLauncher", "new launcher");
  const fs::path package = temp_ / "launcher-package.tar.gz";
  MakeTarGz(package_src_, package);
  const auto before = Snapshot(install_);

  // The work folder on another file system: the old item can't be renamed into it.
  const auto result = InstallLauncherPackage(package, install_, shm.path());
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "can't move " + (install_ / "Contents").string() + " aside: " +
                                std::error_code(EXDEV, std::generic_category()).message());
  EXPECT_EQ(Snapshot(install_), before);
}

// Root only: a tmpfs mounted where the installer stages or where the old runtime lives makes one
// particular rename cross file systems.
class LauncherInstallMountTest : public LauncherInstallTest {
 protected:
  void SetUp() override {
    LauncherInstallTest::SetUp();
    if (std::string why = test::EnterPrivateMountNamespace(); !why.empty()) {
      GTEST_SKIP() << "needs a private mount namespace: " << why;
    }
  }
};

TEST_F(LauncherInstallMountTest, ItemThatCantBeMovedInIsRolledBack) {
  fs::create_directories(work_ / "staging-launcher");
  test::TmpfsMount staging(work_ / "staging-launcher");
  ASSERT_EQ(staging.error(), "");
  WriteFile(package_src_ / "Contents" / "MacOS" / "EmberdaleLauncher", "new launcher");
  const fs::path package = temp_ / "launcher-package.tar.gz";
  MakeTarGz(package_src_, package);
  const auto before = Snapshot(install_ / "Contents");

  const auto result = InstallLauncherPackage(package, install_, work_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "can't move " + (install_ / "Contents").string() + " into place: " +
                                std::error_code(EXDEV, std::generic_category()).message());
  EXPECT_EQ(Snapshot(install_ / "Contents"), before);
  EXPECT_FALSE(fs::exists(work_ / "backup-Contents"));
}

TEST_F(LauncherInstallMountTest, RuntimeThatCantBeCarriedOverIsKeptWithTheOldItem) {
  // The installed runtime is a mount point: it can't be renamed into the new Contents.
  const fs::path runtime = install_ / "Contents" / "runtime";
  test::TmpfsMount mount(runtime);
  ASSERT_EQ(mount.error(), "");
  WriteFile(runtime / "Contents" / "Home" / "bin" / "java", "jre");
  WriteFile(package_src_ / "Contents" / "MacOS" / "EmberdaleLauncher", "new launcher");
  const fs::path package = temp_ / "launcher-package.tar.gz";
  MakeTarGz(package_src_, package);
  const auto before = Snapshot(install_ / "Contents");
  test::LogCapture log;

  const auto result = InstallLauncherPackage(package, install_, work_);
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error(), ::testing::StartsWith("can't carry the runtime over to " +
                                                    (install_ / "Contents").string() + ": "));
  EXPECT_THAT(
      log.WithPrefix("[WARN] "),
      ::testing::ElementsAre(::testing::StartsWith("[WARN] Couldn't carry the runtime over to " +
                                                   (install_ / "Contents").string())));
  EXPECT_EQ(Snapshot(install_ / "Contents"), before);
}

class RuntimeInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(runtime_ / "bin" / "java", "old java");
    WriteFile(runtime_ / "lib" / "old-only", "old");
    fs::create_directories(work_);
  }

  // The runtime sources are packed with these modes, as a vendor archive carries them.
  void WriteRuntime(const fs::path& home) {
    WriteFile(home / "bin" / "java", "new java");
    WriteFile(home / "lib" / "jspawnhelper", "helper");
    WriteFile(home / "lib" / "libjli.dylib", "lib");
    fs::permissions(home / "bin" / "java", static_cast<fs::perms>(0644));
    fs::permissions(home / "lib" / "jspawnhelper", static_cast<fs::perms>(0600));
    fs::permissions(home / "lib" / "libjli.dylib", static_cast<fs::perms>(0640));
  }

  test::TempDir temp_;
  fs::path install_ = temp_ / "install";
  fs::path runtime_ = install_ / "Contents" / "runtime" / "Contents" / "Home";
  fs::path work_ = temp_ / "work";
  fs::path package_src_ = temp_ / "package";
  std::vector<milliseconds> pauses_;
  core::Sleeper sleeper_ = [this](milliseconds delay) { pauses_.push_back(delay); };
};

TEST_F(RuntimeInstallTest, RuntimeWrappedInOneFolderIsHoistedAndMadeExecutable) {
  WriteRuntime(package_src_ / "jdk-21.0.2+13-jre");
  const fs::path package = temp_ / "jre-package.tgz";
  MakeTarGz(package_src_, package);

  ASSERT_TRUE(InstallRuntimePackage(package, runtime_, work_, sleeper_));

  EXPECT_EQ(Names(runtime_), (std::vector<std::string>{"bin", "lib"}));
  EXPECT_EQ(ReadFile(runtime_ / "bin" / "java"), "new java");
  EXPECT_FALSE(fs::exists(runtime_ / "lib" / "old-only"));
  EXPECT_EQ(Mode(runtime_ / "bin" / "java"), 0755u);
  EXPECT_EQ(Mode(runtime_ / "lib" / "jspawnhelper"), 0755u);
  EXPECT_EQ(Mode(runtime_ / "lib" / "libjli.dylib"), 0640u);
  EXPECT_TRUE(fs::is_empty(work_));
  EXPECT_TRUE(pauses_.empty());
}

TEST_F(RuntimeInstallTest, BundleLayoutIsRefusedAndTheInstalledRuntimeStays) {
  WriteRuntime(package_src_ / "jdk-x" / "Contents" / "Home");
  const fs::path package = temp_ / "jre-package.tar.gz";
  MakeTarGz(package_src_, package);
  const auto before = Snapshot(install_ / "Contents");

  const auto result = InstallRuntimePackage(package, runtime_, work_, sleeper_);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), "JRE archive layout not recognized: bin/java not found");
  EXPECT_EQ(Snapshot(install_ / "Contents"), before);
}

TEST_F(RuntimeInstallTest, SwapThatKeepsFailingIsRetriedThenTheOldRuntimeIsPutBack) {
  if (std::string why = test::EnterPrivateMountNamespace(); !why.empty()) {
    GTEST_SKIP() << "needs a private mount namespace: " << why;
  }
  // The staging folder is a mount point, which can't be renamed.
  fs::create_directories(work_ / "staging-jre");
  test::TmpfsMount staging(work_ / "staging-jre");
  ASSERT_EQ(staging.error(), "");
  WriteRuntime(package_src_);
  const fs::path package = temp_ / "jre-package.zip";
  MakeZip(package_src_, package);
  const auto before = Snapshot(install_ / "Contents");

  const auto result = InstallRuntimePackage(package, runtime_, work_, sleeper_);
  ASSERT_FALSE(result);
  EXPECT_THAT(result.error(), ::testing::StartsWith("can't move the new Home into place: "));
  EXPECT_EQ(pauses_, std::vector<milliseconds>(19, milliseconds(250)));
  EXPECT_EQ(Snapshot(install_ / "Contents"), before);
  EXPECT_FALSE(fs::exists(work_ / "backup-jre"));
  EXPECT_TRUE(fs::is_empty(work_ / "staging-jre")) << "the staged content is removed";
}

TEST(MakeRuntimeExecutableTest, RepairsDirectoriesAndExecutablesButNotLinksOrOtherFiles) {
  test::TempDir temp;
  const fs::path home = temp / "Home";
  const fs::path outside = temp / "outside";
  WriteFile(home / "bin" / "java", "j");
  WriteFile(home / "bin" / "keytool", "k");
  WriteFile(home / "lib" / "jspawnhelper", "h");
  WriteFile(home / "lib" / "libjli.dylib", "l");
  WriteFile(home / "lib" / "server" / "bin" / "tool", "t");
  WriteFile(home / "conf" / "security" / "java.policy", "p");
  WriteFile(outside / "bin" / "other", "o");
  fs::create_symlink("../lib/libjli.dylib", home / "bin" / "libjli-link");
  fs::create_directory_symlink(outside, home / "lib" / "linked");
  for (const char* file : {"bin/java", "lib/jspawnhelper", "lib/server/bin/tool", "bin/keytool"}) {
    fs::permissions(home / file, static_cast<fs::perms>(0600));
  }
  fs::permissions(home / "lib" / "libjli.dylib", static_cast<fs::perms>(0640));
  fs::permissions(home / "conf" / "security" / "java.policy", static_cast<fs::perms>(0600));
  fs::permissions(outside / "bin" / "other", static_cast<fs::perms>(0600));
  for (const char* dir : {"", "bin", "lib", "lib/server", "conf/security"}) {
    fs::permissions(home / dir, static_cast<fs::perms>(0700));
  }
  fs::permissions(outside, static_cast<fs::perms>(0700));

  MakeRuntimeExecutable(home);

  for (const char* path :
       {"", "bin", "lib", "lib/server", "lib/server/bin", "conf", "conf/security", "bin/java",
        "bin/keytool", "lib/jspawnhelper", "lib/server/bin/tool"}) {
    EXPECT_EQ(Mode(home / path), 0755u) << path;
  }
  EXPECT_EQ(Mode(home / "lib" / "libjli.dylib"), 0640u);
  EXPECT_EQ(Mode(home / "conf" / "security" / "java.policy"), 0600u);
  EXPECT_EQ(Mode(outside), 0700u) << "a linked folder is not followed";
  EXPECT_EQ(Mode(outside / "bin" / "other"), 0600u);
}

}  // namespace
}  // namespace emberdale::posix
