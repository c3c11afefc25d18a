// The process layer with real children: /bin/sh scripts that report what they were given.
#include "posix/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

std::vector<std::string> Sh(const std::string& script) {
  return {"/bin/sh", "-c", script};
}
// What descriptor `fd` of the script's shell refers to (expanded before redirections apply).
std::string Fd(int fd) {
  return std::format("$(readlink /proc/$$/fd/{})", fd);
}
std::string Link(const fs::path& path) {
  return fs::read_symlink(path).native();
}

TEST(ProcessTest, RunReportsTheExitAndTheOutputAskedFor) {
  test::TempDir dir;
  const std::string report = "echo out; echo err >&2; echo " + Fd(0);
  const std::string nasty = "it's a \"$HOME\" `id` \\n *; '' end\n";
  const RunOptions out{"", true}, both{"", true, true};
  struct Row {
    std::vector<std::string> argv;
    RunOptions options;
    std::string outcome;  // "{exit code}: {output}" or the error
  };
  for (const Row& row : std::vector<Row>{
           {Sh("exit 3"), {}, "3: "},
           {Sh("kill -KILL $$"), out, "137: "},
           {Sh(report), out, "0: out\n/dev/null\n"},
           {Sh(report), both, "0: out\nerr\n/dev/null\n"},
           {Sh("echo lost; echo " + Fd(1) + Fd(2) + " >x"), {dir.path()}, "0: "},
           {Sh("pwd -P"), {dir.path(), true}, "0: " + fs::canonical(dir.path()).native() + "\n"},
           {Sh("printf %s " + ShellQuote(nasty)), out, "0: " + nasty},
           {Sh("true"), {dir / "none"}, "can't start /bin/sh: No such file or directory"},
           {{"emberdale-none"}, out, "can't start emberdale-none: No such file or directory"},
           {{}, out, "empty command"},
       }) {
    SCOPED_TRACE(row.argv.empty() ? "" : row.argv.back());
    const auto result = posix::Run(row.argv, row.options);
    EXPECT_EQ(result ? std::format("{}: {}", result->exitCode, result->output) : result.error(),
              row.outcome);
  }
  EXPECT_EQ(ReadFile(dir / "x"), "/dev/null/dev/null\n") << "output nobody asked for is dropped";
}

// A child writing far more than the capture bound still ends; the first MiB is kept.
TEST(ProcessTest, RunKeepsTheFirstMebibyteAndDrainsTheRest) {
  const auto result = posix::Run({"seq", "1", "500000"}, {"", true});
  ASSERT_TRUE(result) << result.error();
  std::string expected;
  for (int i = 1; expected.size() < (2u << 20); ++i) expected += std::format("{}\n", i);
  EXPECT_EQ(result->exitCode, 0);
  EXPECT_GE(result->output.size(), 1u << 20);
  EXPECT_LE(result->output.size(), (1u << 20) + 4096);
  EXPECT_TRUE(expected.starts_with(result->output));
}

TEST(ProcessTest, SpawnedChildGetsItsOptions) {
  test::TempDir dir;
  const fs::path log = dir / "log";
  setenv("EMBERDALE_KEPT", "kept", 1);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signal, SIG_IGN);
  const std::string session = "read -r pid name state parent group sid rest </proc/$$/stat; ";
  struct Row {
    SpawnOptions options;
    std::string script, log;
  };
  for (const Row& row : std::vector<Row>{
           {{"", {}, log}, "echo out; echo err >&2; echo " + Fd(0), "old\nout\nerr\n/dev/null\n"},
           {{"", {{"EMBERDALE_NEW", "1"}, {"EMBERDALE_NEW", "2"}}, log},
            "echo $EMBERDALE_KEPT $EMBERDALE_NEW", "old\nkept 2\n"},
           {{"", {}, "", true}, "echo " + Fd(1) + Fd(2) + " >log", "/dev/null/dev/null\n"},
           {{}, "echo " + Fd(1) + " >log", Link("/proc/self/fd/1") + "\n"},
           {{"", {}, "", false, true}, session + "echo $((sid == $$)) >log", "1\n"},
           {{}, session + "echo $((sid == $$)) >log", "0\n"},
           // The caller ignores SIGPIPE, SIGINT and SIGTERM; the child must not.
           {{}, "m=$(sed -n 's/^SigIgn:\\s*//p' /proc/$$/status); echo $((0x$m & 0x5002)) >log", "0\n"},
       }) {
    SCOPED_TRACE(row.script);
    test::WriteFile(log, "old\n");
    SpawnOptions options = row.options;
    options.workingDirectory = dir.path();
    const auto pid = Spawn(Sh(row.script), options);
    ASSERT_TRUE(pid) << pid.error();
    int status = 0;
    EXPECT_EQ(waitpid(*pid, &status, 0), *pid);
    EXPECT_EQ(ReadFile(log), row.log);
  }
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signal, SIG_DFL);
}

TEST(ProcessTest, PipedChildGetsAllDataAndNoChildHoldsAnotherEndOfAPipe) {
  test::TempDir dir;
  auto piped = PipedProcess::Start(Sh("cat >" + ShellQuote((dir / "out").native())));
  ASSERT_TRUE(piped) << piped.error();
  const std::string pipe = Link(std::format("/proc/self/fd/{}", piped->stdinFd()));
  int ends = 0;  // a leaked write end would keep the child from ever seeing the end of its input
  for (const auto& fd : fs::directory_iterator(std::format("/proc/{}/fd", piped->pid()))) {
    ends += Link(fd.path()) == pipe;
  }
  EXPECT_EQ(ends, 1);
  const auto run = posix::Run(Sh("readlink /proc/$$/fd/*"), {"", true});
  ASSERT_TRUE(run) << run.error();
  std::vector<std::string> links;  // the child's descriptors 0, 1, 2, ...
  std::istringstream lines(run->output);
  for (std::string line; std::getline(lines, line);) links.push_back(line);
  ASSERT_GE(links.size(), 3u);
  EXPECT_EQ(std::ranges::count(links, links[1]), 1) << run->output;
  EXPECT_EQ(std::ranges::count(links, pipe), 0) << run->output;

  const std::string big((1 << 20) + 17, 'x');  // more than a pipe holds: Write waits for the child
  EXPECT_TRUE(piped->Write("head\n") && piped->Write(big));
  piped->Close();
  EXPECT_EQ(ReadFile(dir / "out"), "head\n" + big);
  EXPECT_FALSE(piped->Write("late"));
}

// Writing to a child that stopped reading fails without a SIGPIPE, which would end this program.
TEST(ProcessTest, WriteToAChildThatEndedFailsQuietly) {
  auto piped = PipedProcess::Start({"true"});
  ASSERT_TRUE(piped) << piped.error();
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, piped->pid(), &info, WEXITED | WNOWAIT), 0);  // ended, not reaped
  EXPECT_FALSE(piped->Write("nobody reads this"));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST(ProcessTest, CommandExistsFindsExecutableFilesOnThePath) {
  test::TempDir dir;
  const std::string d = dir.path();
  test::WriteFile(dir / "plain" / "tool", "");
  test::WriteFile(dir / "files" / "tool", "");
  fs::permissions(dir / "files" / "tool", fs::perms::owner_exec, fs::perm_options::add);
  fs::create_directories(dir / "dirs" / "tool");
  const std::string saved = std::getenv("PATH");
  struct Row {
    std::string path;  // "-": PATH unset
    std::string name;
    bool found;
  };
  for (const Row& row : std::vector<Row>{{"-", "ls", true},
                                         {"", "ls", false},
                                         {":", "ls", false},
                                         {"-", "tool", false},
                                         {d + "/dirs:" + d + "/plain", "tool", false},
                                         {d + "/dirs::" + d + "/files", "tool", true},
                                         {"", d + "/files/tool", true},
                                         {"", d + "/plain/tool", false},
                                         {"", d + "/dirs/tool", false},
                                         {"/bin", "", false}}) {
    SCOPED_TRACE(row.name + " in " + row.path);
    row.path == "-" ? unsetenv("PATH") : setenv("PATH", row.path.c_str(), 1);
    EXPECT_EQ(CommandExists(row.name), row.found);
  }
  setenv("PATH", saved.c_str(), 1);
}

}  // namespace
}  // namespace emberdale::posix
