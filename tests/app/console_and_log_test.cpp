// What the user sees on a terminal and without one, and what the updater log keeps. Each case
// runs in forked children: a child is one start of the updater (this process never logs itself).
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>

#include "app/app_log.h"
#include "app/desktop_host.h"
#include "app/dialogs.h"
#include "app/install_dir.h"
#include "app/progress.h"
#include "core/logging.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::Component;
using emberdale::core::Step;
using emberdale::test::ReadFile;
using emberdale::test::RunInChild;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;
constexpr auto kTerminal = emberdale::test::ChildStdout::Terminal;
constexpr auto kPipe = emberdale::test::ChildStdout::Pipe;
constexpr std::size_t kLimit = 1'048'576;

// The updater log below `installDir` without its time stamps.
std::string Unstamped(const fs::path& installDir) {
  const fs::path log = installDir / "logs/EmberdaleUpdater.log";
  const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )");
  return fs::exists(log) ? std::regex_replace(ReadFile(log), stamp, "") : "";
}

// A coloured 20-cell bar with `full` full cells, then one partial cell unless all are full.
std::string Bar(int full, int percent) {
  std::string cells;
  for (int i = 0; i < 20; ++i) cells += i < full ? "\u2588" : i == full ? "\u2593" : "\u2591";
  return "\r\x1b[K\x1b[38;2;109;141;255m[" + cells + "] " + std::to_string(percent) + "%\x1b[0m ";
}
const std::string kRed = "\n\x1b[38;2;255;107;107m[\u2716 ERROR]\x1b[0m ";
const std::string kQuestion =
    "\n\x1b[1mUpdates Available\x1b[0m\nThe following updates are required before launch:\n"
    "  \u2022 Emberdale Launcher: not installed \u2192 2.1.0 (12.50 MB)\n"
    "  \u2022 Java: 17.0.2 \u2192 21.0.1 (40.00 MB)\n\n\u279c Install updates? [Y/n]: ";
const std::string kSelfQuestion =
    "\n\x1b[1mUpdate Available\x1b[0m\nThe following updates are required before launch:\n"
    "  \u2022 Emberdale Updater: 1.0.0 \u2192 1.2.0 (0.50 MB)\n\n\u279c Install updates? [Y/n]: ";

// Registered before any static object is built, so in a child that sets the flag and exits it
// logs after all of them are destroyed (as a thread still logging at the end would).
bool g_logLate = false;
__attribute__((constructor(101))) void LogLateAtExit() {
  std::atexit([] { g_logLate ? emberdale::core::logging::Warn("late") : void(); });
}

int Ask(MacUpdaterHost& host) {
  std::vector<emberdale::core::PendingUpdate> updates(2);
  updates[0].target.version = "2.1.0", updates[0].target.size = 13107200;
  updates[1].component = Component::Jre, updates[1].installedVersion = "17.0.2";
  updates[1].target.version = "21.0.1", updates[1].target.size = 41943040;
  return host.ConfirmUpdates(updates) ? 10 : 20;
}
int AskSelf(MacUpdaterHost& host) {
  emberdale::core::UpdateInfo update;
  update.version = "1.2.0", update.size = 524288;
  return host.ConfirmSelfUpdate(update) ? 10 : 20;
}
std::function<int(MacUpdaterHost&)> FailWithLaunchLog(const std::string& launchLog) {
  return [launchLog](MacUpdaterHost&) {
    WriteFile(g_installDir + "/logs/launcher_launch.log", launchLog);
    return ShowError("Failed to start.", true), 0;
  };
}

TEST(Console, StepsQuestionsAndErrorsOnATerminalAndWithoutOne) {
  struct Row {
    const char* name;
    emberdale::test::ChildStdout kind;
    std::string input;
    std::function<int(MacUpdaterHost&)> act;
    int exitCode;
    std::string output = "", errors = "", log = "";
  };
  const Row rows[] = {
      {"steps, a step that shows nothing, a download ending twice, then outgrowing its size",
       kTerminal, "",
       [](MacUpdaterHost& host) {
         host.ReportStep(Step::CheckingForUpdates, std::nullopt, 42);
         host.ReportStep(Step::ManifestReceived, std::nullopt, 42);
         host.ReportStep(Step::CheckingComponents, std::nullopt, 42);
         host.ReportStep(Step::InstallingComponent, Component::Jre, 42);
         auto progress = host.DownloadProgress(Component::Launcher, 0, 50);
         for (const std::uint64_t done : {1048576, 2097152, 2097152}) progress(done, 2097152);
         return progress(1 << 25, 1), 0;  // over INT_MAX percent
       },
       0,
       Bar(0, 0) + "Checking for updates..." + Bar(20, 100) +
           "Checking for updates... Update data received\n\r\x1b[KInstalling Java...\n" +
           Bar(10, 50) + "Downloading the launcher... 1.00 / 2.00 MB (50%)" + Bar(20, 100) +
           "Downloading the launcher... 2.00 / 2.00 MB (100%)\n\r\x1b[K"
           "Downloading the launcher... 32.00 / 0.00 MB (3355443200%)"},
      {"nothing once cancelled", kTerminal, "",
       [](MacUpdaterHost& host) {
         g_cancelRequested = true;
         return host.ReportStep(Step::Preparing, std::nullopt, 0), 0;
       },
       0},
      {"Enter accepts", kTerminal, "\n", Ask, 10, kQuestion},
      {"n declines", kTerminal, "n\n", Ask, 20, kQuestion + "Update cancelled.\n", "",
       "[INFO] Update cancelled.\n"},
      {"Ctrl-C at the question declines", kTerminal, "\n",
       [](MacUpdaterHost& host) { return g_cancelRequested = true, Ask(host); }, 20,
       kQuestion + "Update cancelled.\n", "", "[INFO] Update cancelled.\n"},
      {"a line logged while the process ends", kPipe, "",
       [](MacUpdaterHost&) -> int { g_logLate = true, InstallLogSink(), std::exit(0); }, 0, "", "", "[WARN] late\n"},
      {"end of input accepts", kTerminal, "", AskSelf, 10, kSelfQuestion},
      {"nobody to ask accepts", kPipe, "n\n", Ask, 10, "", "",
       "[INFO] No terminal and no display to ask on: accepting the update\n"},
      {"a failure on a terminal", kTerminal, "",
       [](MacUpdaterHost& host) {
         return host.ReportFailure(emberdale::core::Failure::InstallFailed, std::nullopt), 0;
       },
       0, "", kRed + "Failed to extract files.\n\nPath: /Users/x/Games\n",
       "[ERROR] Failed to extract files.\n\nPath: /Users/x/Games\n"},
      {"an error without a terminal", kPipe, "", FailWithLaunchLog(""), 0, "",
       "[\u2716 ERROR] Failed to start.\n", "[ERROR] Failed to start.\n"},
      {"the launch log's last 3 lines", kTerminal, "", FailWithLaunchLog("0\n\n1\n  2  \n\n3\n"),
       0, "", kRed + "Failed to start.\n\nLog: 1 | 2 | 3\n", "[ERROR] Failed to start.\n"},
      {"at most 200 bytes of them", kTerminal, "", FailWithLaunchLog(std::string(300, 'x')), 0,
       "", kRed + "Failed to start.\n\nLog: " + std::string(200, 'x') + "\n",
       "[ERROR] Failed to start.\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const auto run = RunInChild(
        [&] {
          g_installDir = dir.path().native();
          MacUpdaterHost host("/Users/x/Games");
          return row.act(host);
        },
        row.kind, row.input);
    EXPECT_EQ(run.exitCode, row.exitCode);
    EXPECT_EQ(run.output, row.output);
    EXPECT_EQ(run.errors, row.errors);
    EXPECT_EQ(Unstamped(dir.path()), row.log);
  }
}

// Each start is a child; a log over the limit at the start is set aside (once per start).
TEST(AppLog, Rotation) {
  struct Row {
    std::size_t before, grown;  // log bytes at the start, and written over it during the start
    bool setAsideNow, setAsideNext;
  };
  for (const Row row : {Row{0, 0, false, false}, Row{kLimit, 0, false, true},
                        Row{kLimit + 1, 0, true, false}, Row{1, kLimit + 1, false, true}}) {
    SCOPED_TRACE(row.before + row.grown);
    TempDir dir;
    const fs::path log = dir / "logs/EmberdaleUpdater.log", older = log.native() + ".1";
    const std::string before(row.before, 'b'), grown(row.grown, 'g');
    if (row.before > 0) WriteFile(log, before), WriteFile(older, "older");
    const auto start = [&](const std::function<void()>& body) {
      const auto run = RunInChild([&] { return g_installDir = dir.path(), body(), 0; }, kPipe);
      EXPECT_EQ(run.exitCode, 0);
      EXPECT_EQ(run.output + run.errors, "") << "logging is silent";
    };
    start([&] { Log("[INFO] a"), row.grown > 0 ? WriteFile(log, grown) : void(), Log("[INFO] b"); });
    EXPECT_TRUE(Unstamped(dir.path()) == (row.setAsideNow ? "" : row.grown ? grown : before) +
                                             (row.grown ? "" : "[INFO] a\n") + "[INFO] b\n");
    EXPECT_TRUE((fs::exists(older) ? ReadFile(older) : "") ==
                (row.setAsideNow ? before : row.before ? "older" : ""));
    const std::string first = ReadFile(log);
    start([] { Log("[INFO] next"); });
    EXPECT_EQ(ReadFile(older) == first, row.setAsideNext);
  }
}

}  // namespace
