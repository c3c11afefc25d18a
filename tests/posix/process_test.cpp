// The process layer with real children: /bin/sh scripts that report what they were given.
#include "posix/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Sh(const std::string& script) {
  return {"/bin/sh", "-c", script};
}
// What descriptor `fd` of the script's shell refers to (expanded before redirections apply).
std::string Fd(int fd) {
  return std::format("$(readlink /proc/$$/fd/{})", fd);
}

TEST(ProcessTest, RunReportsTheExitAndTheOutputAskedFor) {
  test::TempDir dir;
  const std::string report = "echo out; echo err >&2; echo " + Fd(0),
                    odd = "it's \"$HOME\" `id`*\n";
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
           {Sh("printf %s " + ShellQuote(odd)), out, "0: " + odd},
           {Sh("true"), {dir / "none"}, "can't start /bin/sh: No such file or directory"},
           {{"emberdale-none"}, out, "can't start emberdale-none: No such file or directory"},
           {{}, out, "empty command"},
       }) {
    SCOPED_TRACE(row.argv.empty() ? "" : row.argv.back());
    const auto result = posix::Run(row.argv, row.options);
    EXPECT_EQ(result ? std::format("{}: {}", result->exitCode, result->output) : result.error(),
              row.outcome);
  }
  EXPECT_EQ(test::ReadFile(dir / "x"), "/dev/null/dev/null\n") << "unwanted output is dropped";
  // 3.4 MB: the child ends only if the pipe is drained; the first MiB is kept.
  const auto many = posix::Run({"seq", "500000"}, out);
  ASSERT_TRUE(many && many->exitCode == 0 && many->output.size() >= (1 << 20));
  EXPECT_LE(many->output.size(), (1 << 20) + 4096);
  EXPECT_TRUE(many->output.starts_with("1\n2\n3\n"));
}

TEST(ProcessTest, SpawnedChildGetsItsOptions) {
  test::TempDir dir;
  setenv("EMBERDALE_KEPT", "kept", 1);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signal, SIG_IGN);  // not for the child
  const std::string log = dir / "log", isLeader = "read -r p n s pp g sid x </proc/$$/stat; echo ";
  const std::vector<std::pair<std::string, std::string>> env{{"EMBERDALE_NEW", "1"},
                                                             {"EMBERDALE_NEW", "2"}};
  const std::string ignored = "m=$(sed -n 's/^SigIgn:\\s*//p' /proc/$$/status); echo $((0x$m & ";
  struct Row {
    SpawnOptions options;
    std::string script, log;
  };
  for (const Row& row : std::vector<Row>{
           {{"", {}, log}, "echo out; echo err >&2; echo " + Fd(0), "old\nout\nerr\n/dev/null\n"},
           {{"", env, log}, "echo $EMBERDALE_KEPT $EMBERDALE_NEW", "old\nkept 2\n"},
           {{"", {}, "", true}, "echo " + Fd(1) + Fd(2) + " >log", "/dev/null/dev/null\n"},
           {{}, "echo " + Fd(1) + " >log", fs::read_symlink("/proc/self/fd/1").native() + "\n"},
           {{"", {}, "", false, true}, isLeader + "$((sid == $$)) >log", "1\n"},
           {{}, isLeader + "$((sid == $$)) >log", "0\n"},
           {{},
            ignored + std::format("{})) >log",
                                  1 << (SIGPIPE - 1) | 1 << (SIGINT - 1) | 1 << (SIGTERM - 1)),
            "0\n"},
       }) {
    SCOPED_TRACE(row.script);
    test::WriteFile(log, "old\n");
    SpawnOptions options = row.options;
    options.workingDirectory = dir.path();
    const auto pid = Spawn(Sh(row.script), options);
    ASSERT_TRUE(pid) << pid.error();
    EXPECT_EQ(waitpid(*pid, nullptr, 0), *pid);
    EXPECT_EQ(test::ReadFile(log), row.log);
  }
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signal, SIG_DFL);
}

// The piped child holds its pipe's read end only (else it never sees the end of its input), and
// children started meanwhile hold neither end. Writing to a child that stopped reading fails
// without a SIGPIPE, which would end this program.
TEST(ProcessTest, PipesStayWithTheirChildAndABrokenOneFailsQuietly) {
  test::TempDir dir;
  auto cat = PipedProcess::Start(Sh("cat >" + ShellQuote((dir / "out").native())));
  ASSERT_TRUE(cat) << cat.error();
  const std::string pipe = fs::read_symlink(std::format("/proc/self/fd/{}", cat->stdinFd()));
  const auto links = [](pid_t pid) {
    return posix::Run(Sh(std::format("readlink /proc/{}/fd/*", pid)), {"", true}).value().output;
  };
  const std::string catLinks = links(cat->pid());
  const bool once =
      catLinks.find(pipe) != std::string::npos && catLinks.find(pipe) == catLinks.rfind(pipe);
  if (!once) kill(cat->pid(), SIGKILL);  // else waiting for it would never end
  ASSERT_TRUE(once) << catLinks;
  EXPECT_EQ(posix::Run(Sh("readlink /proc/$$/fd/*"), {"", true})->output.find(pipe),
            std::string::npos);
  const std::string big((1 << 20) + 17, 'x');  // more than a pipe holds: Write waits
  EXPECT_TRUE(cat->Write("head\n") && cat->Write(big));
  cat->Close();
  EXPECT_EQ(test::ReadFile(dir / "out"), "head\n" + big);
  auto head = PipedProcess::Start({"head", "-c1"});
  EXPECT_FALSE(head.value().Write(big));
}

}  // namespace
}  // namespace emberdale::posix
