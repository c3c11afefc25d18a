#include "posix/package_unpack.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <format>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/logging.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;

using test::ReadTree;
using test::Tree;

void WriteScript(const fs::path& path, const std::string& body) {
  test::WriteFile(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all);
}

// Puts a folder of stand-in programs first on the search path for one test.
class SearchPathGuard {
 public:
  explicit SearchPathGuard(const fs::path& first) : saved_(std::getenv("PATH")) {
    setenv("PATH", (first.native() + ":" + saved_).c_str(), 1);
  }
  ~SearchPathGuard() { setenv("PATH", saved_.c_str(), 1); }

 private:
  std::string saved_;
};

class PackageUnpackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(content_ / "Contents/Home/bin/java", "java");
    test::WriteFile(content_ / "Contents/Info.plist", "plist");
    tree_ = ReadTree(content_);
    // A tar that records its arguments, one per line, then runs the real one.
    realTar_ = Which("tar");
    ASSERT_FALSE(realTar_.empty()) << "tar is missing: run scripts/setup.sh";
    WriteScript(bin_ / "tar", std::format("printf '%s\\n' \"$@\" >> '{}'\nexec '{}' \"$@\"\n",
                                          calls_.native(), realTar_));
  }

  static std::string Which(const std::string& program) {
    std::string found;
    const std::string path = std::getenv("PATH");
    for (std::size_t start = 0; start <= path.size();) {
      const std::size_t end = std::min(path.find(':', start), path.size());
      const fs::path candidate = fs::path(path.substr(start, end - start)) / program;
      if (found.empty() && access(candidate.c_str(), X_OK) == 0) found = candidate;
      start = end + 1;
    }
    return found;
  }

  void MakeTarGz(const fs::path& archive) {
    const std::string command = std::format("'{}' -czf '{}' -C '{}' Contents", realTar_,
                                            archive.native(), content_.native());
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  void MakeZip(const fs::path& archive) {
    test::WriteRawZip(archive, {test::StoredEntry("Contents/Home/bin/java", "java"),
                                test::DeflatedEntry("Contents/Info.plist", "plist")});
  }

  std::vector<std::string> TarCalls() const {
    std::vector<std::string> lines;
    std::istringstream text(test::ReadFile(calls_));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

  test::TempDir temp_;
  fs::path content_ = temp_ / "content";
  fs::path bin_ = temp_ / "bin";
  fs::path calls_ = temp_ / "tar-calls.txt";
  Tree tree_;
  std::string realTar_;
};

TEST_F(PackageUnpackTest, ChoosesTheUnpackerByTheLowerCasedFileName) {
  SearchPathGuard path(bin_);
  struct Case {
    std::string name;
    bool tar;
  };
  for (const Case& c : std::vector<Case>{{"jre.tgz", true},
                                         {"jre.tar.gz", true},
                                         {"JRE.TAR.GZ", true},
                                         {"launcher.zip", false},
                                         {"Launcher.Zip", false}}) {
    SCOPED_TRACE(c.name);
    const fs::path archive = temp_ / c.name;
    const fs::path destination = temp_ / ("out-" + c.name);
    c.tar ? MakeTarGz(archive) : MakeZip(archive);
    fs::remove(calls_);
    std::vector<std::string> log;
    core::SetLogSink([&](core::LogLevel, std::string_view line) { log.emplace_back(line); });
    const auto result = ExtractPackage(archive, destination);
    core::SetLogSink(nullptr);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(ReadTree(destination), tree_);
    if (c.tar) {
      EXPECT_EQ(TarCalls(),
                (std::vector<std::string>{"-xzf", archive.native(), "-C", destination.native()}));
      EXPECT_TRUE(log.empty());
    } else {
      EXPECT_FALSE(fs::exists(calls_));
      EXPECT_EQ(log, (std::vector<std::string>{std::format(
                         "Extracted {} (2 files) to {}", archive.native(), destination.native())}));
    }
  }
}

TEST_F(PackageUnpackTest, NeverSniffsTheContent) {
  SearchPathGuard path(bin_);
  const fs::path archive = temp_ / "package.zip";
  MakeTarGz(archive);
  const auto result = ExtractPackage(archive, temp_ / "out");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "not a valid ZIP archive: " + archive.native());
  EXPECT_FALSE(fs::exists(calls_));

  for (const std::string name : {"package.gz", "package.tar", "package", "package.tgz.part"}) {
    const fs::path other = temp_ / "downloads.tgz" / name;
    MakeTarGz(temp_ / "plain.tgz");
    fs::create_directories(other.parent_path());
    fs::copy_file(temp_ / "plain.tgz", other, fs::copy_options::overwrite_existing);
    const auto refused = ExtractPackage(other, temp_ / "out");
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "unsupported package type: " + name);
  }
  EXPECT_FALSE(fs::exists(calls_));
}

// The package's own name decides, whatever the folders above it are called: an install folder
// may hold '#' or '?', which end a URL's path.
TEST_F(PackageUnpackTest, IgnoresUrlCharactersInTheFoldersAboveThePackage) {
  const fs::path folder = temp_ / "My #1 Games?" / "temp";
  fs::create_directories(folder);
  MakeZip(folder / "launcher-package.zip");
  const auto result = ExtractPackage(folder / "launcher-package.zip", folder / "staging");
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(ReadTree(folder / "staging"), tree_);
}

TEST_F(PackageUnpackTest, ReportsTarFailuresWithTheExitCodeAndAllItsOutput) {
  const fs::path archive = temp_ / "jre.tgz";
  test::WriteFile(archive, "this is not gzip data");
  const auto real = ExtractTarGz(archive, temp_ / "out");
  ASSERT_FALSE(real.has_value());
  EXPECT_TRUE(real.error().starts_with("tar exited with 2: ")) << real.error();
  EXPECT_NE(real.error().find("not in gzip format"), std::string::npos) << real.error();

  const fs::path failing = temp_ / "failing";
  WriteScript(failing / "tar", "echo 'to stdout'\necho 'to stderr' >&2\nexit 2\n");
  SearchPathGuard path(failing);
  const auto result = ExtractPackage(archive, temp_ / "out");
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), "tar exited with 2: to stdout\nto stderr\n");
}

TEST_F(PackageUnpackTest, FailsBeforeStartingTarWhenTheDestinationCannotBeMade) {
  SearchPathGuard path(bin_);
  const fs::path archive = temp_ / "jre.tar.gz";
  MakeTarGz(archive);
  test::WriteFile(temp_ / "file", "in the way");
  const fs::path destination = temp_ / "file" / "out";
  const auto result = ExtractPackage(archive, destination);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), std::format("can't create {}: Not a directory", destination.native()));
  EXPECT_FALSE(fs::exists(calls_));
}

TEST_F(PackageUnpackTest, PassesOnTheProcessLayersErrorWhenTarCannotStart) {
  const fs::path archive = temp_ / "jre.tgz";
  MakeTarGz(archive);
  const std::string saved = std::getenv("PATH");
  setenv("PATH", (temp_ / "empty").c_str(), 1);
  const auto result = ExtractTarGz(archive, temp_ / "out");
  setenv("PATH", saved.c_str(), 1);
  ASSERT_FALSE(result.has_value());
  EXPECT_TRUE(result.error().starts_with("can't start tar: ")) << result.error();
}

}  // namespace
}  // namespace emberdale::posix
