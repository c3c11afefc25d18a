#include "tests/support/forked_child.h"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace emberdale::test {
namespace {

std::string ReadToEnd(int fd) {  // end of file, or EIO once a terminal's other side is gone
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) != 0;) {
    if (n > 0) text.append(buffer, static_cast<std::size_t>(n));
    else if (errno != EINTR) break;
  }
  close(fd);
  return text;
}

}  // namespace

ChildResult RunInChild(const std::function<int()>& body, ChildStdout stdoutKind,
                       std::string_view input) {
  std::fflush(nullptr);  // nothing buffered here is written twice
  signal(SIGPIPE, SIG_IGN);  // a child that ends without reading its input
  int errors[2], in[2] = {-1, -1}, out = -1;
  if (pipe2(errors, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  pid_t pid = -1;
  if (stdoutKind == ChildStdout::Terminal) {
    termios mode{};
    mode.c_iflag = ICRNL | IUTF8;
    mode.c_cflag = CS8 | CREAD | CLOCAL;
    mode.c_lflag = ICANON | ISIG;
    mode.c_cc[VINTR] = '\x03';
    mode.c_cc[VEOF] = '\x04';
    mode.c_cc[VMIN] = 1;
    pid = forkpty(&out, nullptr, &mode, nullptr);
  } else {
    int output[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid == 0) {
      dup2(in[0], STDIN_FILENO), dup2(output[1], STDOUT_FILENO);
      close(in[1]), close(output[0]);
    }
    close(in[0]), close(output[1]);
    out = output[0];
  }
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(errors[1], STDERR_FILENO);
    const int code = body();
    std::cout.flush(), std::cerr.flush(), std::fflush(nullptr);
    _exit(code);
  }
  close(errors[1]);
  const int inputFd = in[1] >= 0 ? in[1] : out;
  std::string text(input);
  // A terminal ends input with ^D at the start of a line: a second one ends an unfinished line.
  if (in[1] < 0) text += !input.empty() && !input.ends_with('\n') ? "\x04\x04" : "\x04";
  (void)!write(inputFd, text.data(), text.size());
  if (in[1] >= 0) close(in[1]);
  ChildResult result;
  result.output = ReadToEnd(out);
  result.errors = ReadToEnd(errors[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
  result.exitCode = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
  return result;
}

}  // namespace emberdale::test
