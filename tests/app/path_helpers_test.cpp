#include "app/path_helpers.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "gtest/gtest.h"
#include "posix/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

const fs::path kLocationsHelper = fs::path(EMBERDALE_TEST_HELPERS_DIR) / "app_locations";

// Sets or unsets one environment variable for the lifetime of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// Runs a copy of (or link to) the locations helper and returns its "name=value" lines.
std::map<std::string, std::string> RunLocations(const fs::path& program) {
  emberdale::posix::RunOptions options;
  options.captureOutput = true;
  const auto result = emberdale::posix::Run({program.string()}, options);
  EXPECT_TRUE(result.has_value()) << result.error();
  std::map<std::string, std::string> values;
  if (!result) return values;
  EXPECT_EQ(result->exitCode, 0) << result->output;
  std::istringstream lines(result->output);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return values;
}

fs::path CopyHelperTo(const fs::path& destination) {
  fs::create_directories(destination.parent_path());
  fs::copy_file(kLocationsHelper, destination);
  fs::permissions(destination, fs::perms(0755));
  return destination;
}

std::string PasswdHome() {
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

TEST(SelfPath, IsTheCanonicalPathOfTheRunningExecutable) {
  EXPECT_EQ(GetSelfPath(), fs::canonical("/proc/self/exe").string());
}

TEST(SelfPath, ProgramStartedThroughASymbolicLinkGetsTheLinkTarget) {
  TempDir dir;
  fs::create_directory(dir / "links");
  fs::create_symlink(kLocationsHelper, dir / "links" / "updater");
  const auto values = RunLocations(dir / "links" / "updater");
  EXPECT_EQ(values.at("self_path"), fs::canonical(kLocationsHelper).string());
  EXPECT_EQ(values.at("self_bundle"), "");
}

TEST(SelfBundle, FoundThreeLevelsAboveTheExecutable) {
  TempDir dir;
  const fs::path exe =
      CopyHelperTo(dir / "Emberdale Updater.app" / "Contents" / "MacOS" / "EmberdaleUpdater");
  const auto values = RunLocations(exe);
  EXPECT_EQ(values.at("self_path"), fs::canonical(exe).string());
  EXPECT_EQ(values.at("self_bundle"),
            (fs::canonical(dir.path()) / "Emberdale Updater.app").string());
}

TEST(SelfBundle, NameComparisonIsCaseSensitiveAndNeedsTheFullLayout) {
  TempDir dir;
  const auto upper = RunLocations(CopyHelperTo(dir / "Foo.APP" / "Contents" / "MacOS" / "Updater"));
  EXPECT_EQ(upper.at("self_bundle"), "");
  // Only two levels below the bundle: the folder three levels up is not the ".app" folder.
  const auto shallow = RunLocations(CopyHelperTo(dir / "Bar.app" / "MacOS" / "Updater"));
  EXPECT_EQ(shallow.at("self_bundle"), "");
}

TEST(HomeDir, PrefersHomeAndFallsBackToThePasswordDatabase) {
  {
    ScopedEnv home("HOME", "/Users/x");
    EXPECT_EQ(GetHomeDir(), "/Users/x");
  }
  ASSERT_FALSE(PasswdHome().empty()) << "the test user needs a password-database entry";
  {
    ScopedEnv home("HOME", "");
    EXPECT_EQ(GetHomeDir(), PasswdHome());
  }
  {
    ScopedEnv home("HOME", nullptr);
    EXPECT_EQ(GetHomeDir(), PasswdHome());
  }
}

TEST(FindLauncherExe, OnlyARegularFileCounts) {
  TempDir dir;
  const fs::path macos = dir / "Contents" / "MacOS";
  const fs::path launcher = macos / "EmberdaleLauncher";
  EXPECT_EQ(FindLauncherExe(dir.path().string()), "") << "missing";

  fs::create_directories(launcher);
  EXPECT_EQ(FindLauncherExe(dir.path().string()), "") << "a folder";
  fs::remove(launcher);

  fs::create_symlink(dir / "nowhere", launcher);
  EXPECT_EQ(FindLauncherExe(dir.path().string()), "") << "a dangling link";
  fs::remove(launcher);

  WriteFile(dir / "real-launcher", "#!/bin/sh\n");
  fs::create_symlink(dir / "real-launcher", launcher);
  EXPECT_EQ(FindLauncherExe(dir.path().string()), launcher.string()) << "a link to a file";
  fs::remove(launcher);

  WriteFile(launcher, "#!/bin/sh\n");
  EXPECT_EQ(FindLauncherExe(dir.path().string()), launcher.string());
}

TEST(JavaHome, ComposedWithoutLookingAtTheDisk) {
  EXPECT_EQ(JavaHome("/nowhere/Emberdale"), "/nowhere/Emberdale/Contents/runtime/Contents/Home");
  EXPECT_EQ(JavaHome("/nowhere/Emberdale/"), "/nowhere/Emberdale/Contents/runtime/Contents/Home");
}

TEST(Trim, RemovesOnlySpaceTabLineFeedAndCarriageReturn) {
  EXPECT_EQ(Trim(" \t\r\nabc \n"), "abc");
  EXPECT_EQ(Trim("  \n \n  "), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim("a b"), "a b");
  EXPECT_EQ(Trim("\vabc"), "\vabc");
  EXPECT_EQ(Trim("abc\f"), "abc\f");
  EXPECT_EQ(Trim(std::string_view("\0x \n", 4)), std::string("\0x", 2));
}

TEST(LastLines, KeepsTheLastNonEmptyLinesTrimmed) {
  TempDir dir;
  WriteFile(dir / "log", "a\n\n  b  \nc\n");
  EXPECT_EQ(LastLines((dir / "log").string(), 2), "b | c");
  EXPECT_EQ(LastLines((dir / "log").string(), 5), "a | b | c");
  EXPECT_EQ(LastLines((dir / "log").string(), 0), "");

  WriteFile(dir / "crlf", "first\r\nsecond\r\n\r\nlast without line feed");
  EXPECT_EQ(LastLines((dir / "crlf").string(), 3), "first | second | last without line feed");

  EXPECT_EQ(LastLines((dir / "missing").string(), 3), "");
  EXPECT_EQ(LastLines(dir.path().string(), 3), "") << "a folder reads as no lines";
}

TEST(LastLines, CutsTheJoinedTextToItsLast200Bytes) {
  TempDir dir;
  // A line of 124 bytes and one of 123 bytes join to 124 + 3 + 123 = 250 bytes.
  const std::string first = "<" + std::string(123, 'a');
  const std::string second = std::string(122, 'b') + ">";
  WriteFile(dir / "log", first + "\n" + second + "\n");
  const std::string joined = first + " | " + second;
  ASSERT_EQ(joined.size(), 250u);
  EXPECT_EQ(LastLines((dir / "log").string(), 2), joined.substr(50));

  const std::string exactly200 = std::string(200, 'z');
  WriteFile(dir / "exact", exactly200 + "\n");
  EXPECT_EQ(LastLines((dir / "exact").string(), 3), exactly200);
}

}  // namespace
