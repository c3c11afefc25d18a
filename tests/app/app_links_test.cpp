// ctest-labels: quick;root
#include "app/app_links.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "app/arguments.h"
#include "gtest/gtest.h"
#include "tests/support/forked_child.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// The demo's stand-in launcher serves the app-link socket of $EMBERDALE_HOME (named in the
// endpoint file there while it runs) and records each link it takes as "LINK <link>".
const fs::path kStandIn = fs::path(EMBERDALE_BINARY_DIR) / "demo" / "EmberdaleLauncher";

// Runs a copy of `program` named `name` from `dir`; returns once it runs under that name, and
// for the stand-in launcher once it serves.
pid_t Start(const fs::path& program, const fs::path& dir, const std::string& name) {
  fs::copy_file(program, dir / name, fs::copy_options::overwrite_existing);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    freopen("/dev/null", "w", stdout), execl((dir / name).c_str(), "x", "60", nullptr), _exit(127);
  }
  const auto ready = [&] {
    std::error_code ec;
    if (program == kStandIn) return fs::exists(dir / "launcher-app-link.endpoint");
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec).filename() == name;
  };
  for (int i = 0; i < 10000 && !ready(); ++i) usleep(1000);
  return pid;
}
const auto Stop = [](pid_t pid) { kill(pid, SIGTERM), waitpid(pid, nullptr, 0); };
const auto Show = [](const char* what, bool value) { std::printf("%s=%d\n", what, value); };

// In a PID namespace with its own /proc only what the test starts counts, no other test's launcher.
TEST(AppLinks, RunningLauncherCheckAndHandOver) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a PID namespace of its own";
  emberdale::test::TempDir dir;
  const auto run = emberdale::test::RunInChild(
      [&] {
        if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0) return 77;
        if (const pid_t first = fork(); first != 0) {
          int status = 0;
          return waitpid(first, &status, 0), WEXITSTATUS(status);
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (mount("proc", "/proc", "proc", 0, nullptr) != 0) return 77;
        setenv("EMBERDALE_HOME", dir.path().c_str(), 1);
        Show("none", IsLauncherAlreadyRunning());
        for (const char* name :
             {"EmberdaleLauncherX", "EmberdaleLaunche", "EmberdaleLaunch", "EmberdaleLauncher"}) {
          const pid_t sleeper = Start("/bin/sleep", dir.path(), name);
          Show(name, IsLauncherAlreadyRunning());
          fs::remove(dir / name);  // replaced by an update while it runs
          Show("deleted", IsLauncherAlreadyRunning());
          Stop(sleeper);
        }
        const pid_t server = Start(kStandIn, dir.path(), "app-link-server");
        g_arguments = {"--verbose", "emberdale:/not-a-link"};
        Show("no link, no launcher", HandOverToRunningLauncher(dir.path()));
        g_arguments = {"--verbose", "emberdale://join/abc"};
        Show("link, whoever serves", HandOverToRunningLauncher(dir.path()));
        Stop(server);
        Show("link, nobody serves", HandOverToRunningLauncher(dir.path()));
        const pid_t launcher = Start(kStandIn, dir.path(), "EmberdaleLauncher");
        g_arguments = {"--verbose"};
        Show("no link, a launcher", HandOverToRunningLauncher(dir.path()));
        return Stop(launcher), 0;
      },
      emberdale::test::ChildStdout::Pipe);
  if (run.exitCode == 77) GTEST_SKIP() << "can't make a PID namespace with its own /proc";
  EXPECT_EQ(run.output,
            "none=0\nEmberdaleLauncherX=0\ndeleted=0\nEmberdaleLaunche=0\ndeleted=0\n"
            "EmberdaleLaunch=0\ndeleted=0\nEmberdaleLauncher=1\ndeleted=1\n"
            "no link, no launcher=0\nlink, whoever serves=1\nlink, nobody serves=0\n"
            "no link, a launcher=1\n");
  const std::string record = emberdale::test::ReadFile(dir / "stand-in-launcher.record");
  EXPECT_NE(record.find("\nLINK emberdale://join/abc\n"), std::string::npos) << record;
  EXPECT_NE(record.find("\nLINK emberdale://open\n"), std::string::npos) << record;
}

}  // namespace
