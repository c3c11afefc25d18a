#include "app/desktop_host.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include "app/dialogs.h"
#include "app/install_dir.h"
#include "app/progress.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"
#include "tests/support/zip_builder.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::Component;
using emberdale::core::Step;
using emberdale::test::ChildStdout;
using emberdale::test::ReadFile;
using emberdale::test::StoredEntry;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;
constexpr ChildStdout kTerminal = ChildStdout::Terminal, kPipe = ChildStdout::Pipe;

// A coloured 20-cell bar with `full` full cells, then one partial cell unless full is 20.
std::string Bar(int full, int percent) {
  std::string cells;
  for (int i = 0; i < 20; ++i) cells += i < full ? "\u2588" : i == full ? "\u2593" : "\u2591";
  return "\r\x1b[K\x1b[38;2;109;141;255m[" + cells + "] " + std::to_string(percent) + "%\x1b[0m ";
}
const std::string kRed = "\n\x1b[38;2;255;107;107m[\u2716 ERROR]\x1b[0m ";
const std::string kUpdatesQuestion =
    "\n\x1b[1mUpdates Available\x1b[0m\nThe following updates are required before launch:\n"
    "  \u2022 Emberdale Launcher: not installed \u2192 2.1.0 (12.50 MB)\n"
    "  \u2022 Java: 17.0.2 \u2192 21.0.1 (40.00 MB)\n\n\u279c Install updates? [Y/n]: ";
const std::string kSelfUpdateQuestion =
    "\n\x1b[1mUpdate Available\x1b[0m\nThe following updates are required before launch:\n"
    "  \u2022 Emberdale Updater: 1.0.0 \u2192 1.2.0 (0.50 MB)\n\n\u279c Install updates? [Y/n]: ";

int AskUpdates(MacUpdaterHost& host) {
  std::vector<emberdale::core::PendingUpdate> updates(2);
  updates[0].component = Component::Launcher;
  updates[0].target.version = "2.1.0";
  updates[0].target.size = 13107200;
  updates[1].component = Component::Jre;
  updates[1].installedVersion = "17.0.2";
  updates[1].target.version = "21.0.1";
  updates[1].target.size = 41943040;
  return host.ConfirmUpdates(updates) ? 10 : 20;
}
int AskSelfUpdate(MacUpdaterHost& host) {
  emberdale::core::UpdateInfo update;
  update.version = "1.2.0";
  update.size = 524288;
  return host.ConfirmSelfUpdate(update) ? 10 : 20;
}
int FailWithLaunchLog(const std::string& launchLog) {
  WriteFile(g_installDir + "/logs/launcher_launch.log", launchLog);
  ShowError("Failed to start.", true);
  return 0;
}

// What a user sees of the host's steps, questions and errors, on a terminal and without one.
// Each row runs in a child whose install directory (with the log) is a fresh folder.
TEST(DesktopHost, WhatTheUserSeesAndTheLogKeeps) {
  struct Row {
    const char* name;
    ChildStdout kind;
    std::string input;
    std::function<int(MacUpdaterHost&)> act;
    int exitCode;
    std::string output = "", errors = "", log = "";
  };
  const Row rows[] = {
      {"steps with bars, a download, and a step that shows nothing", kTerminal, "",
       [](MacUpdaterHost& host) {
         host.ReportStep(Step::CheckingForUpdates, std::nullopt, 42);
         host.ReportStep(Step::ManifestReceived, std::nullopt, 42);
         host.ReportStep(Step::CheckingComponents, std::nullopt, 42);
         host.ReportStep(Step::InstallingComponent, Component::Jre, 42);
         host.DownloadProgress(Component::Launcher, 0, 50)(1048576, 2097152);
         return 0;
       },
       0,
       Bar(0, 0) + "Checking for updates..." + Bar(20, 100) +
           "Checking for updates... Update data received\n\r\x1b[KInstalling Java...\n" +
           Bar(10, 50) + "Downloading the launcher... 1.00 / 2.00 MB (50%)"},
      {"nothing is shown once cancelled", kTerminal, "",
       [](MacUpdaterHost& host) {
         g_cancelRequested = true;
         host.ReportStep(Step::Preparing, std::nullopt, 0);
         return 0;
       },
       0},
      {"Enter accepts the updates", kTerminal, "\n", AskUpdates, 10, kUpdatesQuestion},
      {"n declines them", kTerminal, "n\n", AskUpdates, 20, kUpdatesQuestion + "Update cancelled.\n",
       "", "[INFO] Update cancelled.\n"},
      {"da accepts the self-update", kTerminal, "\xd0\x94\xd0\xb0\n", AskSelfUpdate, 10,
       kSelfUpdateQuestion},
      {"end of input accepts", kTerminal, "", AskSelfUpdate, 10, kSelfUpdateQuestion},
      {"nobody to ask: accepted", kPipe, "n\n", AskUpdates, 10, "", "",
       "[INFO] No terminal and no display to ask on: accepting the update\n"},
      {"a failure on a terminal", kTerminal, "",
       [](MacUpdaterHost& host) {
         host.ReportFailure(emberdale::core::Failure::InstallFailed, Component::Jre);
         return 0;
       },
       0, "", kRed + "Failed to extract files.\n\nPath: /Users/x/Games\n",
       "[ERROR] Failed to extract files.\n\nPath: /Users/x/Games\n"},
      {"an error without a terminal", kPipe, "",
       [](MacUpdaterHost&) { return ShowError("Not found."), 0; }, 0, "",
       "[\u2716 ERROR] Not found.\n", "[ERROR] Not found.\n"},
      {"the last three lines of the launch log", kTerminal, "",
       [](MacUpdaterHost&) { return FailWithLaunchLog("--- x ---\n\none\n  two  \n\nthree\n"); },
       0, "", kRed + "Failed to start.\n\nLog: one | two | three\n", "[ERROR] Failed to start.\n"},
      {"at most 200 bytes of them", kTerminal, "",
       [](MacUpdaterHost&) { return FailWithLaunchLog("<" + std::string(300, 'x') + "\n"); }, 0,
       "", kRed + "Failed to start.\n\nLog: " + std::string(200, 'x') + "\n",
       "[ERROR] Failed to start.\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const auto run = emberdale::test::RunInChild(
        [&] {
          g_installDir = dir.path().native();
          MacUpdaterHost host("/Users/x/Games");
          return row.act(host);
        },
        row.kind, row.input);
    EXPECT_EQ(run.exitCode, row.exitCode);
    EXPECT_EQ(run.output, row.output);
    EXPECT_EQ(run.errors, row.errors);
    const fs::path log = dir / "logs" / "EmberdaleUpdater.log";
    const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )");
    EXPECT_EQ(fs::exists(log) ? std::regex_replace(ReadFile(log), stamp, "") : "", row.log);
  }
}

TEST(DesktopHost, InstalledLauncherIsMadeExecutableAndMustBeInThePackage) {
  TempDir dir;
  MacUpdaterHost host((dir / "install").native());
  const auto install = [&](const char* exeName) {
    emberdale::test::WriteRawZip(dir / "launcher.zip", {StoredEntry("Contents/Info.plist", "x"),
                                                        StoredEntry(exeName, "#!/bin/sh\n")});
    return host.InstallComponent(Component::Launcher, dir / "launcher.zip", 0, 100);
  };
  const auto missing = install("Contents/MacOS/Other");
  EXPECT_EQ(missing.error_or(""), "EmberdaleLauncher not found in the package");
  ASSERT_TRUE(install("Contents/MacOS/EmberdaleLauncher").has_value());
  struct stat status {};
  ASSERT_EQ(stat((dir / "install/Contents/MacOS/EmberdaleLauncher").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  EXPECT_TRUE(host.IsInstalled(Component::Launcher));
}

}  // namespace
