// Child processes, always started with posix_spawnp (the process never forks).
//   Spawn        - start a child that runs on its own (the launcher); PollChild looks at it later.
//   Run          - run a child to completion, optionally collecting its output (tar, file, ...).
//   PipedProcess - a child whose standard input is a pipe the caller writes to.
// Every child's standard input is the null device, except a PipedProcess's. Nothing here logs;
// the functions keep no shared state and may be called from any thread.
#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/unique_fd.h"

namespace emberdale::posix {

struct SpawnOptions {
  // Empty: the child inherits the caller's working directory.
  std::string workingDirectory;
  // Overrides applied to a copy of the caller's environment, in order. Empty: the child
  // inherits the caller's environment unchanged.
  std::vector<std::pair<std::string, std::string>> environment;
  // When not empty, the child's standard output and standard error are appended to this file
  // (created with mode 0644 before the umask).
  std::string outputFile;
  // With no outputFile: true sends standard output and standard error to the null device,
  // false lets the child inherit the caller's.
  bool discardOutput = false;
  // The child leads a new session, detached from the caller's terminal and process group.
  bool newSession = false;
};

struct RunOptions {
  // Empty: the child inherits the caller's working directory.
  std::string workingDirectory;
  // Collect standard output. When false, standard output and standard error go to the null
  // device.
  bool captureOutput = false;
  // Only with captureOutput: collect standard error into the same stream; when false it goes to
  // the null device.
  bool captureStderr = false;
};

struct RunResult {
  // The exit status; 128 + the signal number for a child ended by a signal; -1 when the wait
  // failed or reported a stopped child.
  int exitCode = 0;
  // The first bytes the child wrote (about 1 MiB at most); empty when not capturing.
  std::string output;
};

// Starts argv (argv[0] is a path when it contains "/", else a name searched in PATH) and returns
// its process id without waiting for it; waiting is the caller's business. SIGINT, SIGPIPE and
// SIGTERM are at their default dispositions in the child.
// Errors: "empty command", "can't set the working directory", "can't start {argv0}: {reason}"
// (also for a missing working directory or an output file that cannot be opened).
[[nodiscard]] std::expected<pid_t, std::string> Spawn(const std::vector<std::string>& argv,
                                                      const SpawnOptions& options);

// How a child ended.
struct ChildEnd {
  enum class Kind { Exited, Signalled, Other };
  Kind kind = Kind::Other;
  // The exit status for Exited, the signal number for Signalled, 0 otherwise.
  int number = 0;
};

// Whether the child `pid` of this process has ended, without waiting: its end (the child is
// reaped), or nothing while it still runs or when it can't be asked about.
[[nodiscard]] std::optional<ChildEnd> PollChild(pid_t pid);

// Runs argv to completion in the caller's session and returns its exit code and collected
// output. The pipe is always read to its end, so a child writing more than the bound still ends.
// Errors: "empty command", "pipe failed: {reason}", "can't set the working directory",
// "can't start {argv0}: {reason}". A failed wait is not an error: it gives exit code -1.
[[nodiscard]] std::expected<RunResult, std::string> Run(const std::vector<std::string>& argv,
                                                        const RunOptions& options);

// Whether name is a command the caller can execute: a path when it contains "/", otherwise the
// first match in PATH ("/usr/bin:/bin" when PATH is unset). Only executable regular files count;
// empty PATH components are skipped.
[[nodiscard]] bool CommandExists(std::string_view name);

// Quotes text as one word for a POSIX shell: 'text', each ' written as '\''.
[[nodiscard]] std::string ShellQuote(std::string_view text);

// A running child whose standard input is a pipe held here; its standard output and standard
// error go to the null device. Move-only. Close (or destruction) closes the pipe and waits for the
// child. A closed, moved-from or default-constructed object has pid() == stdinFd() == -1 and its
// operations do nothing (Write returns false).
class PipedProcess {
 public:
  PipedProcess() = default;
  ~PipedProcess();
  PipedProcess(PipedProcess&& other) noexcept;
  // Closes and waits for this object's own child first, then takes over other's.
  PipedProcess& operator=(PipedProcess&& other) noexcept;
  PipedProcess(const PipedProcess&) = delete;
  PipedProcess& operator=(const PipedProcess&) = delete;

  // Starts argv with its standard input connected to a new pipe.
  // Errors: "empty command", "pipe failed: {reason}", "can't start {argv0}: {reason}".
  [[nodiscard]] static std::expected<PipedProcess, std::string> Start(
      const std::vector<std::string>& argv);

  // Writes all of data to the child's standard input, blocking while the pipe is full. False when
  // the pipe is closed or a write fails (also when the child no longer reads: the broken pipe
  // never raises SIGPIPE in the caller). Empty data on an open pipe gives true.
  [[nodiscard]] bool Write(std::string_view data);

  // Closes the pipe, so the child sees end of input, and waits for the child to end. The exit
  // status is not reported. Safe to call more than once.
  void Close() noexcept;

  pid_t pid() const noexcept { return pid_; }
  int stdinFd() const noexcept { return stdinFd_.Get(); }

 private:
  PipedProcess(pid_t pid, core::UniqueFd stdinFd) noexcept
      : pid_(pid), stdinFd_(std::move(stdinFd)) {}

  pid_t pid_ = -1;
  core::UniqueFd stdinFd_;
};

}  // namespace emberdale::posix
