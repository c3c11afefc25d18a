// Test helper for ExecSelf.
//   exec_self_probe --print-args [args...]  prints each argument (argv[0] included) on its own
//                                           line as "arg: ...", then "env: " and the value of
//                                           EMBERDALE_PROBE_MARK, and exits with 0.
//   exec_self_probe TARGET [args...]        calls ExecSelf(TARGET, args); when that returns it
//                                           prints "ExecSelf failed: " and the error, exits 3.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "posix/executable_replace.h"

namespace {

constexpr int kExecFailedExitCode = 3;
constexpr int kUsageExitCode = 2;

int PrintArgs(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) printf("arg: %s\n", argv[i]);
  const char* mark = getenv("EMBERDALE_PROBE_MARK");
  printf("env: %s\n", mark != nullptr ? mark : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: exec_self_probe --print-args [args...] | TARGET [args...]\n");
    return kUsageExitCode;
  }
  if (strcmp(argv[1], "--print-args") == 0) return PrintArgs(argc, argv);
  const std::vector<std::string> args(argv + 2, argv + argc);
  const std::string error = emberdale::posix::ExecSelf(argv[1], args);
  printf("ExecSelf failed: %s\n", error.c_str());
  return kExecFailedExitCode;
}
