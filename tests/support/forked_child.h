// Runs a piece of the test program in a forked child whose standard output is a real
// pseudo-terminal or a pipe, so that code deciding by isatty(1) takes the path under test. A child
// is also a fresh process for code that prepares something once per process.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace emberdale::test {

enum class ChildStdout {
  // A pseudo-terminal in canonical mode without echo and without output processing (a "\n"
  // written arrives as "\n"); standard input is the same terminal.
  Terminal,
  // A pipe; standard input is a pipe too.
  Pipe,
};

struct ChildResult {
  int exitCode = -1;   // 128 + the signal number when a signal ended the child
  std::string output;  // standard output (the terminal or the pipe)
  std::string errors;  // standard error, always collected on its own
};

// Runs `body` in a forked child that ends with body's result as its exit status (streams flushed,
// exit handlers not run). The child reads `input`, then end of input.
ChildResult RunInChild(const std::function<int()>& body, ChildStdout stdoutKind,
                       std::string_view input = {});

}  // namespace emberdale::test
