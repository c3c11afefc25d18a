// Runs a piece of the test program in a forked child whose standard output is a real
// pseudo-terminal or a pipe, so that code deciding by isatty(1) takes the path under test. The
// child's standard input is fed with a given text; what it writes to standard output and standard
// error is collected separately.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace emberdale::test {

enum class ChildStdout {
  // A pseudo-terminal in canonical mode, without echo and without output post-processing (so a
  // "\n" written arrives as "\n"). Standard input is the same terminal.
  Terminal,
  // A pipe; standard input is a pipe too.
  Pipe,
};

struct ChildResult {
  // The child's exit status; 128 + the signal number when a signal ended it.
  int exitCode = -1;
  // Everything the child wrote to standard output (the terminal or the pipe).
  std::string output;
  // Everything the child wrote to standard error (always a pipe of its own).
  std::string errors;
};

// Forks, runs `body` in the child and ends the child with body's result as its exit status
// (after flushing the C and C++ streams, without running exit handlers). `input` is written to
// the child's standard input, after which the child sees end of input (the terminal's end-of-file
// character at the start of a line, or the closed pipe).
ChildResult RunInChild(const std::function<int()>& body, ChildStdout stdoutKind,
                       std::string_view input = {});

}  // namespace emberdale::test
