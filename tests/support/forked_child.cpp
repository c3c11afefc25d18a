#include "tests/support/forked_child.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <vector>

namespace emberdale::test {
namespace {

constexpr char kEndOfFile = '\x04';
constexpr std::size_t kReadChunk = 4096;

// Canonical input (lines, ^D ends input), no echo, UTF-8 input, and output passed through as is.
termios TerminalMode() {
  termios mode{};
  mode.c_iflag = ICRNL | IUTF8;
  mode.c_oflag = 0;
  mode.c_cflag = CS8 | CREAD | CLOCAL;
  mode.c_lflag = ICANON | ISIG;
  mode.c_cc[VINTR] = '\x03';
  mode.c_cc[VEOF] = kEndOfFile;
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  cfsetispeed(&mode, B38400);
  cfsetospeed(&mode, B38400);
  return mode;
}

void MakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

[[noreturn]] void RunBodyAndExit(const std::function<int()>& body) {
  int code = 1;
  try {
    code = body();
  } catch (...) {
    code = 125;
  }
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  _exit(code);
}

void WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads every descriptor to its end (end of file, or EIO from a terminal whose other side is
// closed), appending to the matching output, without letting one full pipe block the other.
void ReadAll(std::vector<std::pair<int, std::string*>> sources) {
  while (!sources.empty()) {
    std::vector<pollfd> waiting;
    for (const auto& source : sources) waiting.push_back({source.first, POLLIN, 0});
    if (poll(waiting.data(), waiting.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (std::size_t i = waiting.size(); i-- > 0;) {
      if (waiting[i].revents == 0) continue;
      char buffer[kReadChunk];
      const ssize_t n = read(sources[i].first, buffer, sizeof buffer);
      if (n > 0) {
        sources[i].second->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(sources[i].first);
        sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

int WaitFor(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

ChildResult RunOnTerminal(const std::function<int()>& body, std::string_view input) {
  int errors[2];
  MakePipe(errors);
  termios mode = TerminalMode();
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, &mode, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) {
    dup2(errors[1], STDERR_FILENO);
    RunBodyAndExit(body);
  }
  close(errors[1]);
  WriteAll(master, input);
  // End of file is seen only at the start of a line: a second one ends an unfinished line first.
  if (!input.empty() && input.back() != '\n') WriteAll(master, std::string(1, kEndOfFile));
  WriteAll(master, std::string(1, kEndOfFile));
  ChildResult result;
  ReadAll({{master, &result.output}, {errors[0], &result.errors}});
  result.exitCode = WaitFor(pid);
  return result;
}

ChildResult RunOnPipes(const std::function<int()>& body, std::string_view input) {
  int in[2], out[2], errors[2];
  MakePipe(in);
  MakePipe(out);
  MakePipe(errors);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(errors[1], STDERR_FILENO);
    RunBodyAndExit(body);
  }
  close(in[0]);
  close(out[1]);
  close(errors[1]);
  {
    // A child that ends without reading its input must not take the test down with SIGPIPE.
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    WriteAll(in[1], input);
    sigaction(SIGPIPE, &previous, nullptr);
  }
  close(in[1]);
  ChildResult result;
  ReadAll({{out[0], &result.output}, {errors[0], &result.errors}});
  result.exitCode = WaitFor(pid);
  return result;
}

}  // namespace

ChildResult RunInChild(const std::function<int()>& body, ChildStdout stdoutKind,
                       std::string_view input) {
  std::fflush(nullptr);  // nothing buffered in the parent is written twice
  return stdoutKind == ChildStdout::Terminal ? RunOnTerminal(body, input) : RunOnPipes(body, input);
}

}  // namespace emberdale::test
