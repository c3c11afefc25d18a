#include "app/app_log.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "app/install_dir.h"
#include "core/logging.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using emberdale::test::ReadFile;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

constexpr std::size_t kLimit = 1'048'576;

// One start of the updater: a fresh process (this test process never logs itself) that logs
// below `installDir`; it must stay silent and end normally.
void Start(const fs::path& installDir, const std::function<void()>& body) {
  const auto run = emberdale::test::RunInChild(
      [&] {
        g_installDir = installDir.native();
        body();
        return 0;
      },
      emberdale::test::ChildStdout::Pipe);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output + run.errors, "");
}

// The file's text without the lines' time stamps.
std::string Unstamped(const fs::path& file) {
  const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] )");
  const std::string text = ReadFile(file);
  std::string result;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    const bool stamped = end - start >= 22 && std::regex_match(text.substr(start, 22), stamp);
    result += text.substr(start + (stamped ? 22 : 0), end - start - (stamped ? 22 : 0)) + "\n";
  }
  return result;
}

TEST(AppLog, LogOverTheLimitIsSetAsideAtTheStart) {
  struct Row {
    std::size_t before;  // bytes in the log before the start; 0: no log folder yet
    bool setAside;
  };
  for (const Row row : {Row{0, false}, Row{kLimit, false}, Row{kLimit + 1, true}}) {
    SCOPED_TRACE(row.before);
    TempDir dir;
    const fs::path log = dir / "logs/EmberdaleUpdater.log", older = log.native() + ".1";
    const std::string old = row.before > 0 ? std::string(row.before - 1, 'o') + "\n" : "";
    if (row.before > 0) WriteFile(log, old), WriteFile(older, "older copy");
    Start(dir.path(), [] { Log("[INFO] a"); });
    EXPECT_EQ(Unstamped(log), (row.setAside ? "" : old) + "[INFO] a\n");
    EXPECT_EQ(fs::exists(older) ? ReadFile(older) : "none",
              row.setAside ? old : row.before > 0 ? "older copy" : "none");
  }
}

TEST(AppLog, LogGrownDuringAStartIsSetAsideAtTheNextOne) {
  TempDir dir;
  const fs::path log = dir / "logs/EmberdaleUpdater.log";
  Start(dir.path(), [&] {
    Log("[INFO] a");
    WriteFile(log, std::string(kLimit, 'g') + "\n");
    Log("[INFO] b");
  });
  const std::string grown = ReadFile(log);
  EXPECT_EQ(Unstamped(log), std::string(kLimit, 'g') + "\n[INFO] b\n");
  Start(dir.path(), [] { Log("[INFO] next start"); });
  EXPECT_EQ(ReadFile(log.native() + ".1"), grown);
  EXPECT_EQ(Unstamped(log), "[INFO] next start\n");
}

TEST(AppLog, EngineMessagesGetTheirLevelAndAnEmptyLineIsALoneLineFeed) {
  TempDir dir;
  Start(dir.path(), [] {
    emberdale::core::logging::Warn("before the sink: {}", 1);
    InstallLogSink();
    Log("");
    emberdale::core::logging::Warn("Download from {} failed: HTTP {}", "CDN", 503);
    emberdale::core::logging::Info("Launcher is up to date");
    emberdale::core::logging::Error("Can't install {}", "Java");
  });
  EXPECT_EQ(Unstamped(dir / "logs/EmberdaleUpdater.log"),
            "\n[WARN] Download from CDN failed: HTTP 503\n[INFO] Launcher is up to date\n"
            "[ERROR] Can't install Java\n");
}

TEST(AppLog, LinesOfSeveralThreadsStayWhole) {
  TempDir dir;
  const std::string line = "[INFO] " + std::string(3000, 'x');
  Start(dir.path(), [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { for (int i = 0; i < 100; ++i) Log(line); });
    for (std::thread& thread : threads) thread.join();
  });
  std::string expected;
  for (int i = 0; i < 400; ++i) expected += line + "\n";
  EXPECT_TRUE(Unstamped(dir / "logs/EmberdaleUpdater.log") == expected);
}

TEST(AppLog, UnusableLogFolderIsSilent) {
  TempDir dir;
  WriteFile(dir / "logs", "a file, not a folder");
  Start(dir.path(), [] { Log("[INFO] lost"); });
  EXPECT_EQ(ReadFile(dir / "logs"), "a file, not a folder");
}

}  // namespace
