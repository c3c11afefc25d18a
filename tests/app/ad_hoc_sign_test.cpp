#include "app/ad_hoc_sign.h"

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/install_dir.h"
#include "gtest/gtest.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::test::ReadFile;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

constexpr std::size_t kTimeStampLength = 22;

// Signing tools stand in for codesign; warnings land in the log of a fresh install directory.
class AdHocSignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_installDir = (dir_ / "install").string();
    fs::create_directories(dir_ / "install" / "logs");
    fs::create_directories(bundle_ / "Contents" / "MacOS");
  }
  void TearDown() override { g_installDir.clear(); }

  fs::path Tool(const std::string& name, const std::string& script) const {
    const fs::path tool = dir_ / name;
    WriteFile(tool, "#!/bin/sh\n" + script);
    fs::permissions(tool, fs::perms(0755));
    return tool;
  }

  // The log lines without their time stamps.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(dir_ / "install" / "logs" / "EmberdaleUpdater.log"));
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line.size() >= kTimeStampLength ? line.substr(kTimeStampLength) : line);
    }
    return lines;
  }

  TempDir dir_;
  const fs::path bundle_ = dir_ / "Emberdale Updater.app";
};

TEST_F(AdHocSignTest, SuccessfulToolLogsNothing) {
  const fs::path args = dir_ / "args";
  AdHocSignWith(
      Tool("codesign", "printf '%s|' \"$@\" > '" + args.string() + "'\necho fine\n").string(),
      bundle_);
  EXPECT_EQ(ReadFile(args), "--force|--sign|-|" + bundle_.string() + "|");
  EXPECT_TRUE(LogLines().empty());
}

TEST_F(AdHocSignTest, FailingToolIsLoggedWithItsTrimmedOutput) {
  AdHocSignWith(Tool("codesign",
                     "printf '  \\n\\t%s\\n' 'resource fork detected'\n"
                     "printf '%s\\n \\n' 'signing failed' >&2\nexit 1\n")
                    .string(),
                bundle_);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[WARN] codesign " + bundle_.string() + " failed: resource fork detected");
  EXPECT_EQ(lines[1], "signing failed") << "standard error is part of the output, kept as is";
}

TEST_F(AdHocSignTest, ToolThatCannotRunIsLogged) {
  const fs::path missing = dir_ / "no-such-codesign";
  AdHocSignWith(missing.string(), bundle_);
  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].starts_with("[WARN] Can't run codesign: ")) << lines[0];
  EXPECT_NE(lines[0].find(missing.string()), std::string::npos) << lines[0];
}

TEST_F(AdHocSignTest, NothingToSignOnLinux) {
  AdHocSign(bundle_);
  EXPECT_TRUE(LogLines().empty());
  EXPECT_TRUE(fs::is_directory(bundle_ / "Contents" / "MacOS"));
}

}  // namespace
