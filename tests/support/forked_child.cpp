#include "tests/support/forked_child.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace emberdale::test {

static std::string ReadToEnd(int fd) {  // end of file, or EIO once a terminal's other side is gone
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR);) {
    text.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
  }
  return close(fd), text;
}

ChildResult RunInChild(const std::function<int()>& body, ChildStdout stdoutKind,
                       const std::string& input) {
  std::fflush(nullptr);      // nothing buffered here is written twice
  signal(SIGPIPE, SIG_IGN);  // a child may end without reading its input
  int errors[2], in[2], out[2];
  pipe2(errors, O_CLOEXEC);
  std::string text = input;
  pid_t pid = -1;
  if (stdoutKind == ChildStdout::Terminal) {
    termios mode{};
    mode.c_iflag = ICRNL | IUTF8, mode.c_cflag = CS8 | CREAD, mode.c_lflag = ICANON | ISIG;
    mode.c_cc[VINTR] = '\x03', mode.c_cc[VEOF] = '\x04';
    pid = forkpty(&in[1], nullptr, &mode, nullptr);
    out[0] = dup(in[1]);
    // ^D ends input at the start of a line; a second one ends an unfinished line first.
    text += !input.empty() && !input.ends_with('\n') ? "\x04\x04" : "\x04";
  } else if (pipe2(in, O_CLOEXEC), pipe2(out, O_CLOEXEC), (pid = fork()) == 0) {
    dup2(in[0], STDIN_FILENO), dup2(out[1], STDOUT_FILENO), close(in[1]);
  } else {
    close(in[0]), close(out[1]);
  }
  if (pid == 0) {
    dup2(errors[1], STDERR_FILENO);
    const int code = body();
    std::fflush(nullptr);  // std::cout and std::cerr go through stdio
    _exit(code);
  }
  close(errors[1]);
  (void)!write(in[1], text.data(), text.size());
  close(in[1]);
  ChildResult result{.output = ReadToEnd(out[0]), .errors = ReadToEnd(errors[0])};
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
  result.exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return result;
}

}  // namespace emberdale::test
