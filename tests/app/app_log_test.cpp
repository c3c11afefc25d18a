#include "app/app_log.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/install_dir.h"
#include "core/logging.h"
#include "gtest/gtest.h"
#include "posix/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::test::ReadFile;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

constexpr std::size_t kRotationLimit = 1'048'576;
constexpr std::size_t kTimeStampLength = 22;
const std::regex kTimeStamp(R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");

bool StartsWithTimeStamp(const std::string& line) {
  return line.size() >= kTimeStampLength &&
         std::regex_match(line.substr(0, kTimeStampLength), kTimeStamp);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Lines written in this process go to a fresh install directory of each test.
class AppLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_installDir = dir_.path().string();
    fs::create_directories(dir_ / "logs");
  }
  void TearDown() override {
    emberdale::core::SetLogSink({});
    g_installDir.clear();
  }
  std::string LogText() const { return ReadFile(dir_ / "logs" / "EmberdaleUpdater.log"); }

  TempDir dir_;
};

TEST_F(AppLogTest, LineIsStampedAndEndedWithALineFeed) {
  Log("[INFO] Checking for updates");
  Log("[INFO] two\nlines");
  const std::string text = LogText();
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 3u) << text;
  EXPECT_TRUE(StartsWithTimeStamp(lines[0])) << lines[0];
  EXPECT_EQ(lines[0].substr(kTimeStampLength), "[INFO] Checking for updates");
  EXPECT_EQ(lines[1].substr(kTimeStampLength), "[INFO] two") << "written byte for byte";
  EXPECT_EQ(lines[2], "lines");
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(AppLogTest, EmptyLineIsALoneLineFeed) {
  Log("");
  EXPECT_EQ(LogText(), "\n");
}

TEST_F(AppLogTest, EngineMessagesCarryTheirLevelPrefix) {
  emberdale::core::logging::Warn("no sink yet: {}", 1);
  InstallLogSink();
  emberdale::core::logging::Warn("Download from {} failed: HTTP {}", "CDN", 503);
  emberdale::core::logging::Info("Launcher is up to date");
  emberdale::core::logging::Error("Can't install {}", std::string("the Java runtime"));
  emberdale::core::Log(static_cast<emberdale::core::LogLevel>(7), "unknown level");
  const std::vector<std::string> lines = SplitLines(LogText());
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) EXPECT_TRUE(StartsWithTimeStamp(line)) << line;
  EXPECT_EQ(lines[0].substr(kTimeStampLength), "[WARN] Download from CDN failed: HTTP 503");
  EXPECT_EQ(lines[1].substr(kTimeStampLength), "[INFO] Launcher is up to date");
  EXPECT_EQ(lines[2].substr(kTimeStampLength), "[ERROR] Can't install the Java runtime");
  EXPECT_EQ(lines[3].substr(kTimeStampLength), "[INFO] unknown level");
}

TEST_F(AppLogTest, DeletedFileIsCreatedAgain) {
  Log("[INFO] one");
  fs::remove(dir_ / "logs" / "EmberdaleUpdater.log");
  Log("[INFO] two");
  const std::vector<std::string> lines = SplitLines(LogText());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kTimeStampLength), "[INFO] two");
}

TEST_F(AppLogTest, LinesOfSeveralThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLinesPerThread = 200;
  const auto lineOf = [](int thread, int index) {
    return "[INFO] thread " + std::to_string(thread) + " line " + std::to_string(index) + " " +
           std::string(500, static_cast<char>('a' + thread));
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &lineOf] {
      for (int i = 0; i < kLinesPerThread; ++i) Log(lineOf(t, i));
    });
  }
  for (std::thread& thread : threads) thread.join();

  const std::vector<std::string> lines = SplitLines(LogText());
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    ASSERT_TRUE(StartsWithTimeStamp(line)) << line;
    const std::string body = line.substr(kTimeStampLength);
    const int t = std::stoi(body.substr(std::string("[INFO] thread ").size()));
    ASSERT_TRUE(t >= 0 && t < kThreads) << body;
    ASSERT_EQ(body, lineOf(t, next[t])) << "each thread's lines whole and in order";
    ++next[t];
  }
}

// The first line of a process prepares the log; these tests start the log writer as a program of
// its own, with HOME pointing at a temporary folder (so the log lies below the default install
// directory there).
class LogProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* home = std::getenv("HOME")) savedHome_ = home;
    setenv("HOME", home_.path().string().c_str(), 1);
    logs_ = home_.path() / "Library" / "Application Support" / "Emberdale" / "logs";
  }
  void TearDown() override {
    if (savedHome_) {
      setenv("HOME", savedHome_->c_str(), 1);
    } else {
      unsetenv("HOME");
    }
  }

  // Runs the log writer with the commands and expects it to end quietly with exit code 0.
  static void RunWriter(std::vector<std::string> commands) {
    commands.insert(commands.begin(), std::string(EMBERDALE_TEST_HELPERS_DIR) + "/app_log_writer");
    emberdale::posix::RunOptions options;
    options.captureOutput = true;
    options.captureStderr = true;
    const auto result = emberdale::posix::Run(commands, options);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->exitCode, 0);
    EXPECT_EQ(result->output, "") << "logging is silent";
  }

  fs::path LogFile() const { return logs_ / "EmberdaleUpdater.log"; }
  fs::path RotatedFile() const { return logs_ / "EmberdaleUpdater.log.1"; }

  TempDir home_;
  fs::path logs_;

 private:
  std::optional<std::string> savedHome_;
};

TEST_F(LogProcessTest, FirstLineCreatesTheLogFolderBelowTheInstallDirectory) {
  RunWriter({"line:[INFO] first"});
  const std::vector<std::string> lines = SplitLines(ReadFile(LogFile()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kTimeStampLength), "[INFO] first");
  EXPECT_FALSE(fs::exists(RotatedFile()));
}

TEST_F(LogProcessTest, LineLoggedWhileTheProcessEndsStillArrives) {
  RunWriter({"line:[INFO] first", "late:Still logging while the process ends"});
  EXPECT_TRUE(ReadFile(LogFile()).ends_with("] [WARN] Still logging while the process ends\n"));
}

TEST_F(LogProcessTest, FileOfExactlyTheLimitIsKept) {
  const std::string old(kRotationLimit, 'o');
  WriteFile(LogFile(), old);
  RunWriter({"line:[INFO] next"});
  EXPECT_FALSE(fs::exists(RotatedFile()));
  const std::string text = ReadFile(LogFile());
  EXPECT_EQ(text.substr(0, kRotationLimit), old);
  EXPECT_EQ(text.substr(kRotationLimit + kTimeStampLength), "[INFO] next\n");
}

TEST_F(LogProcessTest, FileOneByteOverTheLimitIsMovedAsideReplacingTheOlderCopy) {
  const std::string old(kRotationLimit + 1, 'o');
  WriteFile(LogFile(), old);
  WriteFile(RotatedFile(), "older copy\n");
  RunWriter({"line:[INFO] next"});
  EXPECT_EQ(ReadFile(RotatedFile()), old);
  const std::vector<std::string> lines = SplitLines(ReadFile(LogFile()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kTimeStampLength), "[INFO] next");
}

TEST_F(LogProcessTest, RotationIsCheckedOncePerProcess) {
  RunWriter({"line:[INFO] a", "grow:" + std::to_string(kRotationLimit + 1), "line:[INFO] b",
             "warn:engine c"});
  EXPECT_FALSE(fs::exists(RotatedFile())) << "a file grown during the run stays";
  const std::string grown = ReadFile(LogFile());
  EXPECT_GT(grown.size(), kRotationLimit + 1);
  EXPECT_TRUE(grown.ends_with("[WARN] engine c\n"));

  RunWriter({"line:[INFO] next start"});
  EXPECT_EQ(ReadFile(RotatedFile()), grown) << "the next start rotates it";
  const std::vector<std::string> lines = SplitLines(ReadFile(LogFile()));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(kTimeStampLength), "[INFO] next start");
}

TEST_F(LogProcessTest, UnusableLogFolderIsSilent) {
  // "logs" is a regular file, so the folder can't be created, even by root.
  WriteFile(logs_, "not a folder");
  RunWriter({"line:[INFO] lost", "warn:also lost", "line:"});
  EXPECT_EQ(ReadFile(logs_), "not a folder");
}

}  // namespace
