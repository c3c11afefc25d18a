// The process layer with real children: /bin/sh scripts that report what they were given.
#include "posix/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <thread>

#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

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
  // clang-format off
  for (const auto& [argv, options, outcome] :  // outcome: "{exit code}: {output}" or the error
       std::vector<std::tuple<std::vector<std::string>, RunOptions, std::string>>{
           {Sh("exit 3"), {}, "3: "}, {Sh("kill -KILL $$"), out, "137: "},
           {Sh(report), out, "0: out\n/dev/null\n"}, {Sh(report), both, "0: out\nerr\n/dev/null\n"},
           {Sh("echo lost; echo " + Fd(1) + Fd(2) + " >" + (dir / "x").native()), {}, "0: "},
           {Sh("printf %s " + ShellQuote(odd)), out, "0: " + odd},
           {{"emberdale-none"}, out, "can't start emberdale-none: No such file or directory"},
           {{}, out, "empty command"}}) {
    // clang-format on
    SCOPED_TRACE(argv.empty() ? "" : argv.back());
    const auto result = posix::Run(argv, options);
    EXPECT_EQ(result ? std::format("{}: {}", result->exitCode, result->output) : result.error(),
              outcome);
  }
  EXPECT_EQ(test::ReadFile(dir / "x"), "/dev/null/dev/null\n") << "unwanted output is dropped";
  const auto many = posix::Run({"seq", "500000"}, out);  // 3.4 MB: it ends only if all is read
  ASSERT_TRUE(many && many->exitCode == 0 && many->output.starts_with("1\n2\n3\n"));
  EXPECT_LE(many->output.size() - (1 << 20), 4096u) << "about the first MiB is kept";
}

TEST(ProcessTest, SpawnedChildGetsItsOptions) {
  test::TempDir dir;
  setenv("EMBERDALE_KEPT", "kept", 1);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signal, SIG_IGN);  // not for the child
  // Meanwhile a Run is under way on another thread: the children must get no end of its pipe, else
  // that Run would last as long as they do.
  std::thread run([&] {
    (void)posix::Run(Sh("echo " + Fd(1) + " >pipe; until [ -e go ]; do sleep 0.01; done"),
                     {dir.path(), true});
  });
  for (int i = 0; i < 3000 && !test::ReadFile(dir / "pipe").ends_with("\n"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string log = dir / "log", isLeader = "read -r p n s pp g sid x </proc/$$/stat; echo ",
                    ignored = std::format(
                        "m=$(sed -n 's/^SigIgn:\\s*//p' /proc/$$/status); echo $((0x$m & {})) >log",
                        1 << (SIGPIPE - 1) | 1 << (SIGINT - 1) | 1 << (SIGTERM - 1));
  const std::vector<std::pair<std::string, std::string>> env{{"EMBERDALE_NEW", "1"},
                                                             {"EMBERDALE_NEW", "2"}};
  // clang-format off
  using Row = std::tuple<SpawnOptions, std::string, std::string>;  // options, script, log
  for (const auto& [options, script, output] : std::vector<Row>{
           {{"", {}, log}, "echo out; echo err >&2; echo " + Fd(0), "old\nout\nerr\n/dev/null\n"},
           {{"", env, log}, "echo $EMBERDALE_KEPT $EMBERDALE_NEW", "old\nkept 2\n"},
           {{"", {}, "", false, true}, isLeader + "$((sid == $$)) >log", "1\n"},
           {{}, ignored, "0\n"},
           {{}, "readlink /proc/$$/fd/* | grep -cF $(cat pipe) >log", "0\n"}}) {
    // clang-format on
    SCOPED_TRACE(script);
    test::WriteFile(log, "old\n");
    SpawnOptions inDir = options;
    inDir.workingDirectory = dir.path();
    const auto pid = Spawn(Sh(script), inDir);
    EXPECT_TRUE(pid && waitpid(*pid, nullptr, 0) == *pid) << pid.error_or("");
    EXPECT_EQ(test::ReadFile(log), output);
  }
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) ::signal(signal, SIG_DFL);
  test::WriteFile(dir / "go", "");
  run.join();
}

}  // namespace
}  // namespace emberdale::posix
