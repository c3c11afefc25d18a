// ctest-labels: quick;root
#include "app/app_links.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <expected>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/arguments.h"
#include "gtest/gtest.h"
#include "posix/process_list.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using emberdale::test::ReadFile;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;

// The stand-in launcher built from demo/stand_in_launcher.cpp: it serves the app-link socket of
// $EMBERDALE_HOME and records each link it accepts as "LINK <link>".
const fs::path kStandInLauncher = fs::path(EMBERDALE_BINARY_DIR) / "demo" / "EmberdaleLauncher";
constexpr const char* kEndpointFile = "launcher-app-link.endpoint";
constexpr const char* kRecordFile = "stand-in-launcher.record";

// Says why a program stopped early: a test run elsewhere on this machine may end every process
// named like the launcher.
constexpr const char* kEndedElsewhere = "the program must run until the test stops it";

// A program started for one test and ended (SIGTERM, then waited for) with the object. The
// constructor returns once the program runs under its own name (/proc/PID/comm changed); with
// `waitForFirstLine` also once it has written its first line to standard output.
class Program {
 public:
  Program(const fs::path& exe, const std::vector<std::string>& args,
          const std::vector<std::string>& extraEnvironment = {}, bool waitForFirstLine = false) {
    std::vector<std::string> argvText{exe.native()};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<std::string> envText(extraEnvironment);
    for (char** entry = environ; *entry != nullptr; ++entry) envText.emplace_back(*entry);
    std::vector<char*> argv = Pointers(argvText), envp = Pointers(envText);

    int output[2];
    if (pipe2(output, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (waitForFirstLine) dup2(output[1], STDOUT_FILENO);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(output[1]);
    WaitUntilRenamed();
    char byte;
    while (waitForFirstLine && read(output[0], &byte, 1) == 1 && byte != '\n') firstLine_ += byte;
    close(output[0]);
  }
  ~Program() { Stop(); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Ends the program; how it ended: "exit N" or "signal N".
  std::string Stop() {
    if (pid_ <= 0) return "not running";
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
  }
  pid_t pid() const { return pid_; }
  const std::string& firstLine() const { return firstLine_; }

 private:
  static std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
  }
  // The forked child carries this program's name until the kernel renames it, late in the exec.
  void WaitUntilRenamed() const {
    const std::string self = ReadFile("/proc/self/comm");
    const std::string comm = "/proc/" + std::to_string(pid_) + "/comm";
    for (int attempt = 0; attempt < kRenameChecks; ++attempt) {
      if (ReadFile(comm) != self) return;  // renamed, or gone
      usleep(kRenameCheckMicroseconds);
    }
  }

  static constexpr int kRenameChecks = 10000;
  static constexpr useconds_t kRenameCheckMicroseconds = 1000;
  pid_t pid_ = -1;
  std::string firstLine_;
};

// A copy of `program` in `dir` under `name`.
fs::path CopyAs(const fs::path& program, const fs::path& dir, const std::string& name) {
  const fs::path copy = dir / name;
  fs::copy_file(program, copy);
  fs::permissions(copy, fs::perms(0755));
  return copy;
}

// Runs `body` as the first process of a new PID namespace with its own /proc, so that only the
// processes it starts itself are visible to it (another engineer's launcher running on this
// machine would otherwise count). Returns body's text, or the reason the namespace isn't
// available.
std::expected<std::string, std::string> InOwnPidNamespace(
    const std::function<std::string()>& body) {
  if (geteuid() != 0) return std::unexpected("needs root for a PID namespace");
  int result[2];
  if (pipe2(result, O_CLOEXEC) != 0) return std::unexpected("pipe failed");
  const pid_t child = fork();
  if (child == 0) {
    if (unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      const std::string reason = std::string("SKIP ") + std::strerror(errno);
      (void)!write(result[1], reason.data(), reason.size());
      _exit(0);
    }
    const pid_t first = fork();  // pid 1 of the new namespace
    if (first == 0) {
      std::string text = "SKIP can't mount /proc";
      if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0) {
        text = body();
      }
      (void)!write(result[1], text.data(), text.size());
      _exit(0);
    }
    int status = 0;
    waitpid(first, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
  }
  close(result[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = read(result[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  close(result[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return std::unexpected("namespace child failed");
  if (text.starts_with("SKIP ")) return std::unexpected(text.substr(5));
  return text;
}

// The saved arguments and the pending link start empty and are restored afterwards.
class AppLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedArguments_ = g_arguments;
    g_arguments.clear();
    g_pendingAppLink.reset();
  }
  void TearDown() override {
    g_arguments = savedArguments_;
    g_pendingAppLink.reset();
  }
  std::vector<std::string> RecordedLinks() const {
    std::vector<std::string> links;
    const std::string record = ReadFile(dir_ / kRecordFile);
    for (std::size_t start = 0, end; (end = record.find('\n', start)) != std::string::npos;
         start = end + 1) {
      const std::string line = record.substr(start, end - start);
      if (line.starts_with("LINK ")) links.push_back(line.substr(5));
    }
    return links;
  }
  std::vector<std::string> LauncherEnvironment() const {
    return {"EMBERDALE_HOME=" + dir_.path().native()};
  }

  TempDir dir_;

 private:
  std::vector<std::string> savedArguments_;
};

TEST_F(AppLinksTest, PendingLinkIsTheDeliveredOneElseTheFirstLinkArgument) {
  EXPECT_EQ(PendingAppLink(), std::nullopt);
  g_arguments = {"-v", "emberdale:/broken", "EMBERDALE://join/1", "emberdale://join/2"};
  EXPECT_EQ(PendingAppLink(), "EMBERDALE://join/1");
  g_pendingAppLink = "emberdale://delivered";
  EXPECT_EQ(PendingAppLink(), "emberdale://delivered");
  EXPECT_EQ(PendingAppLink(), "emberdale://delivered") << "reading does not clear the store";
}

// The kernel keeps only 15 bytes of a process name, so "EmberdaleLauncher" (17 bytes) is
// "EmberdaleLaunch" in /proc/PID/comm; the test must go by the executable's whole file name.
TEST_F(AppLinksTest, RunningLauncherIsFoundByItsWholeExecutableName) {
  const fs::path exe = CopyAs("/bin/sleep", dir_.path(), "EmberdaleLauncher");
  Program launcher(exe, {"infinity"});
  ASSERT_GT(launcher.pid(), 0);
  EXPECT_EQ(ReadFile("/proc/" + std::to_string(launcher.pid()) + "/comm"), "EmberdaleLaunch\n");
  EXPECT_TRUE(IsLauncherAlreadyRunning());

  fs::remove(exe);  // replaced by an update while it runs: the kernel adds " (deleted)"
  EXPECT_TRUE(IsLauncherAlreadyRunning());
  EXPECT_EQ(launcher.Stop(), "signal 15") << kEndedElsewhere;
}

TEST_F(AppLinksTest, OnlyTheExactExecutableNameCounts) {
  const auto seen = InOwnPidNamespace([this] {
    std::string text = "none=" + std::to_string(IsLauncherAlreadyRunning());
    Program longer(CopyAs("/bin/sleep", dir_.path(), "EmberdaleLauncherX"), {"infinity"});
    Program shorter(CopyAs("/bin/sleep", dir_.path(), "EmberdaleLaunche"), {"infinity"});
    Program truncated(CopyAs("/bin/sleep", dir_.path(), "EmberdaleLaunch"), {"infinity"});
    text += " similar=" + std::to_string(IsLauncherAlreadyRunning());
    Program exact(CopyAs("/bin/sleep", dir_.path(), "EmberdaleLauncher"), {"infinity"});
    text += " exact=" + std::to_string(IsLauncherAlreadyRunning());
    const std::string self = fs::read_symlink("/proc/self/exe").filename().native();
    text += " self=" + std::to_string(emberdale::posix::IsProcessRunning(self));
    return text;
  });
  if (!seen) GTEST_SKIP() << seen.error();
  EXPECT_EQ(*seen, "none=0 similar=0 exact=1 self=0");
}

TEST_F(AppLinksTest, WithoutLinkOrLauncherTheEndpointIsNotTouched) {
  const auto seen = InOwnPidNamespace([this] {
    // A socket that would take a connection, named in the endpoint file.
    const fs::path socketPath = dir_ / "s.sock";
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0) {
      return std::string("listen failed");
    }
    WriteFile(dir_ / kEndpointFile, socketPath.native() + "\n");
    g_arguments = {"--verbose", "emberdale:/not-a-link"};
    std::string text = "handed=" + std::to_string(HandOverToRunningLauncher(dir_.path()));
    const int connection = accept(listener, nullptr, nullptr);
    text += connection < 0 && errno == EAGAIN ? " connected=0" : " connected=1";
    return text;
  });
  if (!seen) GTEST_SKIP() << seen.error();
  EXPECT_EQ(*seen, "handed=0 connected=0");
}

TEST_F(AppLinksTest, RunningLauncherIsAskedToOpenWhenNoLinkIsPending) {
  g_arguments = {"--verbose"};
  Program launcher(kStandInLauncher, {}, LauncherEnvironment(), true);
  ASSERT_NE(launcher.firstLine().find("is running"), std::string::npos) << kStandInLauncher;
  EXPECT_TRUE(HandOverToRunningLauncher(dir_.path()));
  EXPECT_EQ(launcher.Stop(), "exit 0") << kEndedElsewhere;
  EXPECT_EQ(RecordedLinks(), std::vector<std::string>{"emberdale://open"});
}

// The link is forwarded to whoever serves the endpoint, without asking whether a process named
// like the launcher runs: here the server runs under another name.
TEST_F(AppLinksTest, PendingLinkIsForwardedWithoutTheRunningCheck) {
  g_arguments = {"--verbose", "emberdale://join/abc?name=x"};
  Program server(CopyAs(kStandInLauncher, dir_.path(), "app-link-server"), {},
                 LauncherEnvironment(), true);
  ASSERT_NE(server.firstLine().find("is running"), std::string::npos);
  EXPECT_TRUE(HandOverToRunningLauncher(dir_.path()));
  EXPECT_EQ(server.Stop(), "exit 0");
  EXPECT_EQ(RecordedLinks(), std::vector<std::string>{"emberdale://join/abc?name=x"});
}

TEST_F(AppLinksTest, PendingLinkWithNobodyListeningIsNotHandedOver) {
  g_pendingAppLink = "emberdale://open";
  EXPECT_FALSE(HandOverToRunningLauncher(dir_.path())) << "no endpoint file";
  WriteFile(dir_ / kEndpointFile, (dir_ / "gone.sock").native());
  EXPECT_FALSE(HandOverToRunningLauncher(dir_.path())) << "a stale endpoint";
}

}  // namespace
