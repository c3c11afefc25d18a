// What the user sees with and without a terminal, what the updater log keeps, and the start-up
// checks. Forked children stand for starts of the updater (this process never logs itself).
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>

#include "app/app_log.h"
#include "app/desktop_host.h"
#include "app/dialogs.h"
#include "app/install_dir.h"
#include "app/install_location.h"
#include "app/preferred_language.h"
#include "app/progress.h"
#include "core/logging.h"
#include "core/ui_text.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::core::Component;
using emberdale::core::Step;
using namespace emberdale::test;
using Host = MacUpdaterHost;
constexpr auto kTerminal = ChildStdout::Terminal, kPipe = ChildStdout::Pipe;

std::string Unstamped(const fs::path& installDir) {
  const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )");
  return std::regex_replace(ReadFile(installDir / "logs/EmberdaleUpdater.log"), stamp, "");
}

// A coloured 20-cell bar with `full` full cells, then one partial cell unless all are full.
std::string Bar(int full, int percent) {
  std::string cells;
  for (int i = 0; i < 20; ++i) cells += i < full ? "\u2588" : i == full ? "\u2593" : "\u2591";
  return "\r\x1b[K\x1b[38;2;109;141;255m[" + cells + "] " + std::to_string(percent) + "%\x1b[0m ";
}
std::string Question(const std::string& title, const std::string& lines) {
  return "\n\x1b[1m" + title + "\x1b[0m\nThe following updates are required before launch:\n" +
         lines + "\n\u279c Install updates? [Y/n]: ";
}
const std::string kRed = "\n\x1b[38;2;255;107;107m[\u2716 ERROR]\x1b[0m ";
const std::string kQuestion =
    Question("Updates Available",
             "  \u2022 Emberdale Launcher: not installed \u2192 2.1.0 (12.50 MB)\n"
             "  \u2022 Java: 17.0.2 \u2192 21.0.1 (40.00 MB)\n");
const std::string kCancelled = "[INFO] Update cancelled.\n";

// Registered before any static object is built, so in a child that sets the flag and exits it
// logs after all of them are destroyed (as a thread still logging at the end would).
bool g_logLate = false;
__attribute__((constructor(101))) void LogLateAtExit() {
  std::atexit([] { g_logLate ? emberdale::core::logging::Warn("late") : void(); });
}

int Ask(Host& host) {  // exit code 10: accepted, 20: declined
  std::vector<emberdale::core::PendingUpdate> updates(2);
  updates[0].target.version = "2.1.0", updates[0].target.size = 13107200;
  updates[1].component = Component::Jre, updates[1].installedVersion = "17.0.2";
  updates[1].target.version = "21.0.1", updates[1].target.size = 41943040;
  return host.ConfirmUpdates(updates) ? 10 : 20;
}
std::function<int(Host&)> FailWithLaunchLog(const std::string& launchLog) {
  return [launchLog](Host&) {
    WriteFile(g_installDir + "/logs/launcher_launch.log", launchLog);
    return ShowError("Failed to start.", LaunchLog::Append), 0;
  };
}

TEST(Console, StepsQuestionsAndErrorsOnATerminalAndWithoutOne) {
  struct Row {
    const char* name;
    ChildStdout kind;
    std::string input;
    std::function<int(Host&)> act;
    int exitCode;
    std::string output = "", errors = "", log = "";
  };
  const Row rows[] = {
      {"steps (one shows nothing), a download ending twice, then past its size", kTerminal, "",
       [](Host& host) {
         for (const Step step : {Step::CheckingForUpdates, Step::ManifestReceived,
                                 Step::CheckingComponents, Step::InstallingComponent}) {
           host.ReportStep(step, Component::Jre, 42);
         }
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
      {"Enter accepts", kTerminal, "\n", Ask, 10, kQuestion},
      {"n declines", kTerminal, "n\n", Ask, 20, kQuestion + "Update cancelled.\n", "", kCancelled},
      {"Ctrl-C (a step then shows nothing), then Enter at the question: declined", kTerminal, "\n",
       [](Host& host) {
         return g_cancelRequested = true, host.ReportStep(Step::Preparing, {}, 0), Ask(host);
       },
       20, kQuestion + "Update cancelled.\n", "", kCancelled},
      {"end of input accepts the updater's own update", kTerminal, "",
       [](Host& host) {
         emberdale::core::UpdateInfo update;
         update.version = "1.2.0", update.size = 524288;
         return host.ConfirmSelfUpdate(update) ? 10 : 20;
       },
       10,
       Question("Update Available", "  \u2022 Emberdale Updater: 1.0.0 \u2192 1.2.0 (0.50 MB)\n")},
      {"nobody to ask accepts", kPipe, "n\n", Ask, 10, "", "",
       "[INFO] No terminal and no display to ask on: accepting the update\n"},
      {"a line logged while the process ends", kPipe, "",
       [](Host&) -> int { g_logLate = true, InstallLogSink(), std::exit(0); }, 0, "", "",
       "[WARN] late\n"},
      {"an error without a terminal, with the launch log's last 3 lines", kPipe, "",
       FailWithLaunchLog("0\n\n1\n  2  \n\n3\n"), 0, "",
       "[\u2716 ERROR] Failed to start.\n\nLog: 1 | 2 | 3\n", "[ERROR] Failed to start.\n"},
      {"at most 200 bytes of them", kTerminal, "", FailWithLaunchLog(std::string(300, 'x')), 0, "",
       kRed + "Failed to start.\n\nLog: " + std::string(200, 'x') + "\n",
       "[ERROR] Failed to start.\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    const auto run =
        RunInChild([&] { return g_installDir = dir.path(), row.act(*new Host("/Users/x/Games")); },
                   row.kind, row.input);
    EXPECT_EQ(run.exitCode, row.exitCode);
    EXPECT_EQ(run.output, row.output);
    EXPECT_EQ(run.errors, row.errors);
    EXPECT_EQ(Unstamped(dir.path()), row.log);
  }
}

// Each start is a child; a log over 1 MiB at the start is set aside (once per start).
TEST(AppLog, Rotation) {
  struct Row {
    std::size_t before, grown;  // log bytes at the start, and written over it during the start
    bool setAsideNow, setAsideNext;
  };
  for (const Row row : {Row{0, 0, false, false}, Row{1 << 20, 0, false, true},
                        Row{(1 << 20) + 1, 0, true, false}, Row{1, (1 << 20) + 1, false, true}}) {
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
    start([&] { Log("[INFO] a"), row.grown ? WriteFile(log, grown) : void(), Log("[INFO] b"); });
    EXPECT_TRUE(Unstamped(dir.path()) ==
                (row.grown ? grown : (row.setAsideNow ? "" : before) + "[INFO] a\n") +
                    "[INFO] b\n");
    EXPECT_TRUE(ReadFile(older) == (row.setAsideNow ? before : row.before ? "older" : ""));
    const std::string first = ReadFile(log);
    start([] { Log("[INFO] next"); });
    EXPECT_EQ(ReadFile(older) == first, row.setAsideNext);
  }
}

TEST(Startup, PreferredLanguageLookupOrder) {
  struct Row {
    const char* env[4];  // LANGUAGE, LC_ALL, LC_MESSAGES, LANG; nullptr: unset
    const char* preferred;
  };
  for (const Row& row : {Row{{nullptr, nullptr, nullptr, nullptr}, ""},
                         Row{{"ru_RU:en_US", "en_GB.UTF-8", "de", "en_US.UTF-8"}, "ru_RU"},
                         Row{{"", "", "", "de_DE.UTF-8"}, "de_DE.UTF-8"},
                         Row{{":ru", nullptr, "ru_RU.UTF-8", "de"}, "ru_RU.UTF-8"},
                         Row{{nullptr, "en_US.UTF-8", "ru_RU.UTF-8", "de"}, "en_US.UTF-8"}}) {
    const char* names[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};
    for (int i = 0; i < 4; ++i) row.env[i] ? setenv(names[i], row.env[i], 1) : unsetenv(names[i]);
    EXPECT_EQ(PreferredLanguage(), row.preferred) << row.preferred;
  }
}

// Each row has a fresh home folder ("$H") with `files` below it ("x/": a folder that can't be
// listed). The check runs in a child without capabilities: root reads any folder.
TEST(Startup, InstallLocationRefusals) {
  const std::string outside =
      "Please choose a folder inside your home folder or on an external drive.";
  const std::string foreign = "The folder already exists and contains other files:\n$H/";
  const std::string kept =
      "This folder is protected by macOS or synced to iCloud. Please choose another folder.";
  struct Row {
    std::string folder, reason;  // reason "" when accepted, which creates the folder
    std::vector<std::string> files = {};
  };
  const Row rows[] = {
      {"/opt/Emberdale", outside},
      {"$H2/Emberdale", outside},
      {"$H/Desktop", kept},
      {"$H/Downloads/Games/Emberdale", kept},
      {"$H/Library/Mobile Documents/com~apple~CloudDocs/Emberdale", kept},
      {"$H/Library/CloudStorage/Drive/Emberdale", kept},
      {"$H/Documents2/Emberdale", ""},
      {"$H/Games/Collection/Emberdale", ""},
      {"$H/Mine", foreign + "Mine", {"Mine/.emberdale-link-check-7", "Mine/a"}},
      {"$H/Crashed", "", {"Crashed/.emberdale-link-check-7"}},  // a volume check's leftover
      {"$H/Old", "", {"Old/notes.txt", "Old/config/versions.json"}},
      {"$H/Locked", foreign + "Locked", {"Locked/"}},
      {"$H/File/Emberdale", "The folder is not writable:\n$H/File/Emberdale", {"File"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.folder);
    TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    for (const std::string& file : row.files) {  // mode 0333: no read right, even for the owner
      file.ends_with('/') ? mkdir((home / file).c_str(), 0333) : (WriteFile(home / file, ""), 0);
    }
    const auto expand = [&](const std::string& text) {
      return std::regex_replace(text, std::regex(R"(\$H)"), home.path().native());
    };
    const auto run = RunInChild(
        [&] {
          __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
          __user_cap_data_struct none[2]{};
          syscall(SYS_capset, &header, none);
          return std::printf("%s", ValidateInstallRoot(expand(row.folder)).c_str()), 0;
        },
        kPipe);
    EXPECT_EQ(run.output, expand(row.reason));
    if (row.files.empty()) EXPECT_EQ(fs::is_directory(expand(row.folder)), row.reason.empty());
  }
  emberdale::core::g_uiText = &emberdale::core::UiTextFor(emberdale::core::Language::Russian);
  EXPECT_EQ(ValidateInstallRoot("/opt/Emberdale"),
            "Выберите папку внутри домашней папки или на внешнем диске.");
  emberdale::core::g_uiText = &emberdale::core::UiTextFor(emberdale::core::Language::English);
}

}  // namespace
