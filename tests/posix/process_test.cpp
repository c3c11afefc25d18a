#include "posix/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <expected>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace emberdale::posix {
namespace {

using emberdale::test::ReadFile;
using emberdale::test::TempDir;
using emberdale::test::WriteFile;
namespace fs = std::filesystem;

constexpr std::size_t kMiB = 1024 * 1024;

std::vector<std::string> Sh(const std::string& script) {
  return {"/bin/sh", "-c", script};
}

// A script fragment that writes what the shell's own descriptors (digits, e.g. "12") refer to
// into file, one per line. dash applies a command's redirections to itself while the command
// runs, so the links are read in a command substitution, before anything is redirected.
std::string WriteDescriptorsTo(const std::string& fds, const fs::path& file) {
  std::string paths;
  for (char fd : fds) paths += std::string(" /proc/$$/fd/") + fd;
  return "links=$(readlink" + paths + "); echo \"$links\" > " + ShellQuote(file.string());
}

// The error of a result, or a marker text when it unexpectedly succeeded.
template <typename T>
std::string ErrorOf(const std::expected<T, std::string>& result) {
  return result ? std::string("(no error)") : result.error();
}

RunOptions Capture(bool withStderr = false) {
  RunOptions options;
  options.captureOutput = true;
  options.captureStderr = withStderr;
  return options;
}

SpawnOptions OutputTo(const std::string& file) {
  SpawnOptions options;
  options.outputFile = file;
  return options;
}

RunResult RunScript(const std::string& script, const RunOptions& options = Capture()) {
  auto result = posix::Run(Sh(script), options);
  EXPECT_TRUE(result.has_value()) << result.error();
  return result.value_or(RunResult{-99, {}});
}

// Waits for a spawned child; its exit status, or 128 + the signal that ended it.
int WaitExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1000;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int SpawnAndWait(const std::vector<std::string>& argv, const SpawnOptions& options) {
  auto pid = Spawn(argv, options);
  if (!pid) {
    ADD_FAILURE() << pid.error();
    return -1000;
  }
  return WaitExit(*pid);
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class ScopedSignal {
 public:
  ScopedSignal(int signal, void (*handler)(int)) : signal_(signal) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, &old_);
  }
  ~ScopedSignal() { sigaction(signal_, &old_, nullptr); }

 private:
  int signal_;
  struct sigaction old_ {};
};

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(umask(mask)) {}
  ~ScopedUmask() { umask(old_); }

 private:
  mode_t old_;
};

std::map<std::string, std::string> EnvironmentMap(const std::vector<std::string>& entries) {
  std::map<std::string, std::string> result;
  for (const std::string& entry : entries) {
    const auto equals = entry.find('=');
    if (equals != std::string::npos) result[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  return result;
}

std::map<std::string, std::string> OwnEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry; ++entry) entries.emplace_back(*entry);
  return EnvironmentMap(entries);
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream stream(text);
  while (std::getline(stream, part, separator)) parts.push_back(part);
  return parts;
}

// The session id field of a /proc/<pid>/stat text (after the command name in parentheses).
long SessionOf(const std::string& stat) {
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string state;
  long parent = 0, group = 0, session = 0;
  fields >> state >> parent >> group >> session;
  return session;
}

// The ignored-signal mask from a /proc/<pid>/status text.
unsigned long long IgnoredSignals(const std::string& status) {
  const auto at = status.find("SigIgn:");
  return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + 7), nullptr, 16);
}

bool IsIgnored(unsigned long long mask, int signal) {
  return (mask >> (signal - 1)) & 1;
}

TEST(RunTest, ReportsExitStatusAndSignalEndings) {
  EXPECT_EQ(RunScript("exit 0").exitCode, 0);
  EXPECT_EQ(RunScript("exit 3").exitCode, 3);
  EXPECT_EQ(RunScript("kill -KILL $$").exitCode, 137);
  EXPECT_EQ(RunScript("kill -TERM $$", {}).exitCode, 143);
}

TEST(RunTest, FailedWaitGivesMinusOneWithTheOutput) {
  // With SIGCHLD ignored the child is reaped by the kernel and waitpid fails with ECHILD.
  ScopedSignal autoReap(SIGCHLD, SIG_IGN);
  RunOptions options;
  options.captureStderr = true;  // Means nothing without captureOutput.
  const RunResult result = RunScript("echo hi; exit 3");
  EXPECT_EQ(result.exitCode, -1);
  EXPECT_EQ(result.output, "hi\n");
}

TEST(RunTest, CapturesStandardErrorOnlyWhenAsked) {
  const std::string script = "echo out; echo err >&2; readlink /proc/$$/fd/0";
  EXPECT_EQ(RunScript(script, Capture(true)).output, "out\nerr\n/dev/null\n");
  EXPECT_EQ(RunScript(script + " /proc/$$/fd/2").output, "out\n/dev/null\n/dev/null\n");
}

TEST(RunTest, WithoutCaptureOutputIsEmptyAndGoesToTheNullDevice) {
  TempDir dir;
  RunOptions options;
  options.captureStderr = true;  // Means nothing without captureOutput.
  const RunResult result =
      RunScript("echo lost; echo lost >&2; " + WriteDescriptorsTo("012", dir / "fds"), options);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(ReadFile(dir / "fds"), "/dev/null\n/dev/null\n/dev/null\n");
}

TEST(RunTest, KeepsTheFirstMebibyteAndDrainsTheRest) {
  // About 3.4 MB of numbered lines: the child only ends if the pipe keeps being read.
  const RunResult result = RunScript("seq 1 500000");
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_GE(result.output.size(), kMiB);
  EXPECT_LE(result.output.size(), kMiB + 4096);
  std::string expected;
  for (int i = 1; expected.size() < result.output.size(); ++i) expected += std::to_string(i) + "\n";
  expected.resize(result.output.size());
  EXPECT_TRUE(result.output == expected) << "the captured bytes are not the stream's first bytes";
}

TEST(RunTest, ChildHoldsNoOtherEndOfItsOutputPipe) {
  const RunResult result =
      RunScript("cd /proc/$$/fd && for f in *; do echo \"$f $(readlink $f)\"; done");
  std::map<std::string, std::string> targets;
  for (const std::string& line : SplitAt(result.output, '\n')) {
    const auto space = line.find(' ');
    targets[line.substr(0, space)] = line.substr(space + 1);
  }
  ASSERT_TRUE(targets["1"].starts_with("pipe:")) << result.output;
  for (const auto& [fd, target] : targets) {
    if (fd != "1") EXPECT_NE(target, targets["1"]) << "descriptor " << fd << " leaked";
  }
}

TEST(RunTest, PipeOfARunningChildStaysOutOfOtherChildren) {
  TempDir dir;
  const std::string ready = (dir / "ready").string();
  const std::string gate = (dir / "gate").string();
  ASSERT_EQ(mkfifo(ready.c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
  // The first child reports its output pipe, then waits on the gate while its Run is reading.
  std::thread first(
      [&] { RunScript(WriteDescriptorsTo("1", ready) + "; read x < " + ShellQuote(gate)); });
  std::string firstPipe = ReadFile(ready);  // Blocks until the first child has written.
  if (!firstPipe.empty()) firstPipe.pop_back();
  const RunResult second = RunScript("for f in /proc/$$/fd/*; do readlink \"$f\"; done");
  TempDir spawnDir;
  const int spawned = SpawnAndWait(Sh("for f in /proc/$$/fd/*; do readlink \"$f\"; done; exit 0"),
                                   OutputTo((spawnDir / "fds").string()));
  WriteFile(gate, "go\n");  // Releases the first child.
  first.join();
  EXPECT_TRUE(firstPipe.starts_with("pipe:")) << firstPipe;
  EXPECT_EQ(second.output.find(firstPipe), std::string::npos) << second.output;
  EXPECT_EQ(spawned, 0);
  EXPECT_EQ(ReadFile(spawnDir / "fds").find(firstPipe), std::string::npos);
}

TEST(RunTest, WorksWhileTheCallerHasStandardDescriptorsClosed) {
  TempDir dir;
  const int savedIn = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 10);
  const int savedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 10);
  ASSERT_GE(savedIn, 0);
  ASSERT_GE(savedOut, 0);
  close(STDIN_FILENO);
  close(STDOUT_FILENO);
  // New pipes would land on 0 and 1 now; the children must still get their own 0, 1 and 2.
  auto run = posix::Run(Sh("readlink /proc/$$/fd/0; echo out"), Capture());
  bool written = false;
  auto piped = PipedProcess::Start(Sh("cat > " + ShellQuote((dir / "piped").string())));
  if (piped) {
    written = piped->Write("through the pipe");
    piped->Close();
  }
  dup2(savedIn, STDIN_FILENO);
  dup2(savedOut, STDOUT_FILENO);
  close(savedIn);
  close(savedOut);

  ASSERT_TRUE(run.has_value()) << run.error();
  EXPECT_EQ(run->output, "/dev/null\nout\n");
  ASSERT_TRUE(piped.has_value()) << piped.error();
  EXPECT_TRUE(written);
  EXPECT_EQ(ReadFile(dir / "piped"), "through the pipe");
}

TEST(RunTest, UsesTheWorkingDirectoryAndReportsAMissingOne) {
  TempDir dir;
  const RunResult result = RunScript("pwd -P", [&] {
    RunOptions options = Capture();
    options.workingDirectory = dir.path().string();
    return options;
  }());
  EXPECT_EQ(result.output, fs::canonical(dir.path()).string() + "\n");

  const std::string missing = (dir / "missing").string();
  RunOptions runOptions;
  runOptions.workingDirectory = missing;
  auto run = posix::Run(Sh("true"), runOptions);
  EXPECT_EQ(ErrorOf(run), "can't start /bin/sh: No such file or directory");
  SpawnOptions spawnOptions;
  spawnOptions.workingDirectory = missing;
  auto spawn = Spawn(Sh("true"), spawnOptions);
  EXPECT_EQ(ErrorOf(spawn), "can't start /bin/sh: No such file or directory");
}

TEST(ProcessTest, RefusesAnEmptyCommandAndReportsProgramsThatCannotStart) {
  EXPECT_EQ(ErrorOf(posix::Run({}, {})), "empty command");
  EXPECT_EQ(ErrorOf(posix::Run({}, Capture())), "empty command");
  EXPECT_EQ(ErrorOf(Spawn({}, {})), "empty command");
  EXPECT_EQ(ErrorOf(PipedProcess::Start({})), "empty command");

  const std::string missing = "can't start emberdale-no-such-program: No such file or directory";
  EXPECT_EQ(ErrorOf(posix::Run({"emberdale-no-such-program"}, {})), missing);
  EXPECT_EQ(ErrorOf(posix::Run({"emberdale-no-such-program"}, Capture())), missing);
  EXPECT_EQ(ErrorOf(Spawn({"emberdale-no-such-program"}, {})), missing);
  EXPECT_EQ(ErrorOf(PipedProcess::Start({"emberdale-no-such-program"})), missing);

  TempDir dir;
  const std::string notExecutable = (dir / "script").string();
  WriteFile(notExecutable, "#!/bin/sh\n");
  EXPECT_EQ(ErrorOf(posix::Run({notExecutable}, {})),
            "can't start " + notExecutable + ": Permission denied");
  // An output file that cannot be opened also stops the child from starting.
  EXPECT_EQ(ErrorOf(Spawn(Sh("true"), OutputTo((dir / "no" / "log").string()))),
            "can't start /bin/sh: No such file or directory");
}

TEST(SpawnTest, InheritsTheEnvironmentOrAppliesOverrides) {
  ScopedEnv kept("EMBERDALE_TEST_KEPT", "kept value");
  ScopedEnv overridden("EMBERDALE_TEST_OVERRIDDEN", "old");
  ScopedEnv added("EMBERDALE_TEST_ADDED", nullptr);
  TempDir dir;
  const auto environmentOf = [&](const SpawnOptions& options) {
    EXPECT_EQ(SpawnAndWait({"env", "-0"}, options), 0);
    return EnvironmentMap(SplitAt(ReadFile(options.outputFile), '\0'));
  };

  auto expected = OwnEnvironment();
  EXPECT_EQ(environmentOf(OutputTo((dir / "inherited").string())), expected);

  expected["EMBERDALE_TEST_OVERRIDDEN"] = "new";
  expected["EMBERDALE_TEST_ADDED"] = "second";
  SpawnOptions overrides = OutputTo((dir / "overridden").string());
  overrides.environment = {{"EMBERDALE_TEST_OVERRIDDEN", "new"},
                           {"EMBERDALE_TEST_ADDED", "first"},
                           {"EMBERDALE_TEST_ADDED", "second"}};
  EXPECT_EQ(environmentOf(overrides), expected);
  EXPECT_EQ(std::getenv("EMBERDALE_TEST_OVERRIDDEN"), std::string("old"));
}

TEST(SpawnTest, AppendsToTheOutputFileOrCreatesIt) {
  // With no umask a wrong creation mode (0666, say) would show.
  ScopedUmask noMask(0);
  TempDir dir;
  const std::string script = "echo out; echo err >&2; readlink /proc/$$/fd/0";
  WriteFile(dir / "existing.log", "first\n");
  EXPECT_EQ(SpawnAndWait(Sh(script), OutputTo((dir / "existing.log").string())), 0);
  EXPECT_EQ(ReadFile(dir / "existing.log"), "first\nout\nerr\n/dev/null\n");

  EXPECT_EQ(SpawnAndWait(Sh(script), OutputTo((dir / "new.log").string())), 0);
  EXPECT_EQ(ReadFile(dir / "new.log"), "out\nerr\n/dev/null\n");
  struct stat info {};
  ASSERT_EQ(stat((dir / "new.log").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST(SpawnTest, DiscardsOrInheritsOutput) {
  TempDir dir;
  const std::string script = WriteDescriptorsTo("12", dir / "fds");
  SpawnOptions discard;
  discard.discardOutput = true;
  EXPECT_EQ(SpawnAndWait(Sh(script), discard), 0);
  EXPECT_EQ(ReadFile(dir / "fds"), "/dev/null\n/dev/null\n");

  EXPECT_EQ(SpawnAndWait(Sh(script), {}), 0);
  const auto own = [](int fd) {
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd)).string();
  };
  EXPECT_EQ(ReadFile(dir / "fds"), own(1) + "\n" + own(2) + "\n");
}

TEST(SpawnTest, NewSessionMakesTheChildASessionLeader) {
  TempDir dir;
  const std::string statFile = (dir / "stat").string();
  SpawnOptions options = OutputTo(statFile);
  options.newSession = true;
  auto pid = Spawn({"cat", "/proc/self/stat"}, options);
  ASSERT_TRUE(pid.has_value()) << pid.error();
  EXPECT_EQ(WaitExit(*pid), 0);
  EXPECT_EQ(SessionOf(ReadFile(statFile)), *pid);
  EXPECT_NE(SessionOf(ReadFile(statFile)), getsid(0));

  fs::remove(statFile);
  EXPECT_EQ(SpawnAndWait({"cat", "/proc/self/stat"}, OutputTo(statFile)), 0);
  EXPECT_EQ(SessionOf(ReadFile(statFile)), getsid(0));
}

TEST(SpawnTest, ResetsSignalsTheCallerIgnores) {
  ScopedSignal pipe(SIGPIPE, SIG_IGN);
  ScopedSignal interrupt(SIGINT, SIG_IGN);
  ScopedSignal terminate(SIGTERM, SIG_IGN);
  TempDir dir;
  EXPECT_EQ(SpawnAndWait({"cat", "/proc/self/status"}, OutputTo((dir / "status").string())), 0);
  const auto spawned = IgnoredSignals(ReadFile(dir / "status"));
  EXPECT_FALSE(IsIgnored(spawned, SIGPIPE));
  EXPECT_FALSE(IsIgnored(spawned, SIGINT));
  EXPECT_FALSE(IsIgnored(spawned, SIGTERM));

  // Run leaves the dispositions alone, which also shows that the check above can see them.
  const auto ran =
      IgnoredSignals(posix::Run({"cat", "/proc/self/status"}, Capture()).value().output);
  EXPECT_TRUE(IsIgnored(ran, SIGPIPE));
  EXPECT_TRUE(IsIgnored(ran, SIGINT));
}

TEST(PipedProcessTest, WritesToTheChildAndCloseWaitsForIt) {
  TempDir dir;
  auto process = PipedProcess::Start(Sh("cat > " + ShellQuote((dir / "out").string())));
  ASSERT_TRUE(process.has_value()) << process.error();
  EXPECT_GT(process->pid(), 0);
  // More than a pipe buffer holds, so the writes must wait for the child.
  const std::string big(kMiB + 17, 'x');
  EXPECT_TRUE(process->Write("head\n"));
  EXPECT_TRUE(process->Write(""));
  EXPECT_TRUE(process->Write(big));
  process->Close();
  EXPECT_EQ(ReadFile(dir / "out"), "head\n" + big);
  EXPECT_EQ(process->pid(), -1);
  EXPECT_EQ(process->stdinFd(), -1);
  EXPECT_FALSE(process->Write("late"));
  process->Close();
}

TEST(PipedProcessTest, MovesOwnershipAndWaitsWhenReplacedOrDestroyed) {
  TempDir dir;
  const auto catInto = [&](const char* name) {
    return PipedProcess::Start(Sh("cat > " + ShellQuote((dir / name).string())));
  };
  {
    auto started = catInto("first");
    ASSERT_TRUE(started.has_value()) << started.error();
    PipedProcess process = std::move(*started);
    EXPECT_EQ(started->pid(), -1);
    EXPECT_EQ(started->stdinFd(), -1);
    EXPECT_FALSE(started->Write("nothing"));
    EXPECT_TRUE(process.Write("one"));

    auto second = catInto("second");
    ASSERT_TRUE(second.has_value()) << second.error();
    process = std::move(*second);  // Closes and waits for the first child.
    EXPECT_EQ(ReadFile(dir / "first"), "one");
    EXPECT_TRUE(process.Write("two"));
  }  // The destructor closes and waits for the second child.
  EXPECT_EQ(ReadFile(dir / "second"), "two");
}

TEST(PipedProcessTest, WriteToAChildThatEndedFailsWithoutSigpipe) {
  ScopedSignal defaultPipe(SIGPIPE, SIG_DFL);  // A stray SIGPIPE would end this test program.
  auto process = PipedProcess::Start({"true"});
  ASSERT_TRUE(process.has_value()) << process.error();
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, process->pid(), &info, WEXITED | WNOWAIT), 0);  // Ended, not reaped.
  EXPECT_FALSE(process->Write("nobody reads this"));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
  process->Close();
}

TEST(CommandExistsTest, FindsExecutableFilesThroughPath) {
  TempDir dir;
  fs::create_directories(dir / "dirs" / "emberdale-tool");
  fs::create_directories(dir / "files");
  fs::create_directories(dir / "plain");
  WriteFile(dir / "files" / "emberdale-tool", "#!/bin/sh\n");
  fs::permissions(dir / "files" / "emberdale-tool", fs::perms(0755));
  WriteFile(dir / "plain" / "emberdale-tool", "#!/bin/sh\n");
  fs::permissions(dir / "plain" / "emberdale-tool", fs::perms(0644));
  const std::string dirs = (dir / "dirs").string();
  const std::string files = (dir / "files").string();
  const std::string plain = (dir / "plain").string();

  {
    ScopedEnv path("PATH", nullptr);
    EXPECT_TRUE(CommandExists("ls"));
    EXPECT_FALSE(CommandExists("emberdale-tool"));
  }
  {
    ScopedEnv path("PATH", ":");
    EXPECT_FALSE(CommandExists("ls"));
  }
  {
    ScopedEnv path("PATH", "");
    EXPECT_FALSE(CommandExists("ls"));
  }
  {
    ScopedEnv path("PATH", (dirs + ":" + plain).c_str());
    EXPECT_FALSE(CommandExists("emberdale-tool"));
  }
  {
    ScopedEnv path("PATH", (dirs + "::" + plain + ":" + files).c_str());
    EXPECT_TRUE(CommandExists("emberdale-tool"));
  }
  EXPECT_FALSE(CommandExists(""));
  EXPECT_TRUE(CommandExists("/bin/sh"));
  EXPECT_TRUE(CommandExists(files + "/emberdale-tool"));
  EXPECT_FALSE(CommandExists(plain + "/emberdale-tool"));
  EXPECT_FALSE(CommandExists(dirs + "/emberdale-tool"));
}

TEST(ShellQuoteTest, QuotesForThePosixShell) {
  EXPECT_EQ(ShellQuote("it's"), R"('it'\''s')");
  EXPECT_EQ(ShellQuote(""), "''");
  EXPECT_EQ(ShellQuote("a b"), "'a b'");
  const std::string nasty = "it's a \"$HOME\" `id` \\n *; '' end\n";
  EXPECT_EQ(RunScript("printf %s " + ShellQuote(nasty)).output, nasty);
}

}  // namespace
}  // namespace emberdale::posix
