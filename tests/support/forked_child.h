// Runs a piece of the test program in a forked child (a fresh process for code that prepares
// something once per process) whose standard output is a real pseudo-terminal or a pipe.
#pragma once

#include <functional>
#include <string>

namespace emberdale::test {

// Terminal: canonical mode, no echo, no output processing; standard input is the same terminal.
enum class ChildStdout { Terminal, Pipe };

struct ChildResult {
  int exitCode = -1;  // 128 + the signal number when a signal ended the child
  std::string output, errors;
};

// Runs `body` in a child that reads `input`, then end of input, and exits with body's result.
ChildResult RunInChild(const std::function<int()>& body, ChildStdout stdoutKind,
                       const std::string& input = "");

}  // namespace emberdale::test
