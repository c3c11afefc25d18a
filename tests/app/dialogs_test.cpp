#include "app/dialogs.h"

#include <filesystem>
#include <string>
#include <vector>

#include "app/install_dir.h"
#include "app/progress.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::test::ChildResult;
using emberdale::test::ChildStdout;
using emberdale::test::ReadFile;
using emberdale::test::RunInChild;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

constexpr int kAccepted = 10;
constexpr int kDeclined = 20;
constexpr const char* kPrompt =
    "\n\x1b[1mUpdates Available\x1b[0m\nLauncher 1.0 \u2192 2.0\n\n\u279c Install updates? [Y/n]: ";
constexpr std::size_t kStampBytes = sizeof "[2026-01-01 00:00:00]";  // with its space
constexpr const char* kErrorTag = "\n\x1b[38;2;255;107;107m[\u2716 ERROR]\x1b[0m ";

// Each case runs in a forked child whose install directory (and so its log) is a fresh folder.
class DialogsTest : public ::testing::Test {
 protected:
  ChildResult Confirm(ChildStdout kind, const std::string& answer) {
    return RunInChild(
        [this] {
          g_installDir = dir_.path().native();
          return ConfirmUpdate("Updates Available", "Launcher 1.0 \u2192 2.0") ? kAccepted
                                                                               : kDeclined;
        },
        kind, answer);
  }
  ChildResult Error(ChildStdout kind, const std::string& message, bool showLaunchLog = false) {
    return RunInChild(
        [&, this] {
          g_installDir = dir_.path().native();
          g_windowOpen = true;
          ShowError(message, showLaunchLog ? LaunchLog::Append : LaunchLog::Omit);
          return g_windowOpen ? 1 : 0;  // the window is closed first
        },
        kind);
  }
  // The updater log's lines without their time stamps.
  std::vector<std::string> LogLines() const {
    std::vector<std::string> lines;
    const fs::path log = dir_ / "logs" / "EmberdaleUpdater.log";
    if (!fs::exists(log)) return lines;
    const std::string text = ReadFile(log);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string line = text.substr(start, end - start);
      lines.push_back(line.size() < kStampBytes ? line : line.substr(kStampBytes));
    }
    return lines;
  }

  TempDir dir_;
};

TEST_F(DialogsTest, TerminalPromptAcceptsEmptyYesDaAndEndOfInput) {
  for (const char* answer : {"\n", "Y\n", "\xd0\xb4\xd0\xb0\n", ""}) {
    const ChildResult run = Confirm(ChildStdout::Terminal, answer);
    EXPECT_EQ(run.exitCode, kAccepted) << "answer: " << answer;
    EXPECT_EQ(run.output, kPrompt) << "answer: " << answer;
  }
  EXPECT_EQ(LogLines(), std::vector<std::string>{}) << "an accepted update logs nothing";
}

TEST_F(DialogsTest, TerminalPromptDeclinedByNPrintsAndLogsTheCancellation) {
  const ChildResult run = Confirm(ChildStdout::Terminal, "n\n");
  EXPECT_EQ(run.exitCode, kDeclined);
  EXPECT_EQ(run.output, std::string(kPrompt) + "Update cancelled.\n");
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"[INFO] Update cancelled."});
}

TEST_F(DialogsTest, WithoutTerminalOrDisplayTheUpdateIsAcceptedAndLogged) {
  const ChildResult run = Confirm(ChildStdout::Pipe, "n\n");
  EXPECT_EQ(run.exitCode, kAccepted) << "nobody can answer: the answer on standard input is unread";
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(LogLines(), std::vector<std::string>{
                            "[INFO] No terminal and no display to ask on: accepting the update"});
}

TEST_F(DialogsTest, ErrorOnTerminalGoesColouredToStandardError) {
  const ChildResult run = Error(ChildStdout::Terminal, "Failed to download update files.");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, std::string(kErrorTag) + "Failed to download update files.\n");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"[ERROR] Failed to download update files."});
}

TEST_F(DialogsTest, ErrorWithLaunchLogShowsItsLastThreeLinesButLogsTheMessageAlone) {
  const ChildResult withoutLog = Error(ChildStdout::Terminal, "Failed to start.", true);
  EXPECT_EQ(withoutLog.errors, std::string(kErrorTag) + "Failed to start.\n");

  WriteFile(dir_ / "logs" / "launcher_launch.log",
            "--- header ---\nExecutable: x\n\none\n  two  \n\nthree\n");
  const ChildResult withLog = Error(ChildStdout::Terminal, "Failed to start.", true);
  EXPECT_EQ(withLog.errors,
            std::string(kErrorTag) + "Failed to start.\n\nLog: one | two | three\n");
  EXPECT_EQ(LogLines(),
            (std::vector<std::string>{"[ERROR] Failed to start.", "[ERROR] Failed to start."}));
}

TEST_F(DialogsTest, ErrorWithoutTerminalOrDisplayGoesPlainToStandardError) {
  const ChildResult run = Error(ChildStdout::Pipe, "Emberdale Launcher was not found.");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(run.errors, "[\u2716 ERROR] Emberdale Launcher was not found.\n");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"[ERROR] Emberdale Launcher was not found."});
}

}  // namespace
