#include "posix/process.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <format>
#include <initializer_list>
#include <map>

#include "core/fd_io.h"

extern char** environ;

namespace emberdale::posix {
namespace {

using core::UniqueFd;

constexpr const char* kNullDevice = "/dev/null";
constexpr mode_t kOutputFileMode = 0644;
constexpr int kOutputFileFlags = O_WRONLY | O_CREAT | O_APPEND;
// Run collects at most this many bytes (plus the rest of the block that crosses the bound).
constexpr std::size_t kMaxCapturedOutput = 1024 * 1024;
constexpr std::size_t kReadBlockSize = 4096;
constexpr int kSignalExitBase = 128;
constexpr int kUnknownExitCode = -1;
constexpr const char* kDefaultSearchPath = "/usr/bin:/bin";

std::string ErrorText(int error) {
  return std::strerror(error);
}

std::unexpected<std::string> PipeFailed(int error) {
  return std::unexpected(std::format("pipe failed: {}", ErrorText(error)));
}

// Owns a posix_spawn_file_actions_t. The first failure to add an action is remembered and turns
// the spawn into a failure, so a child never starts with half its descriptors set up.
class FileActions {
 public:
  FileActions() : initError_(posix_spawn_file_actions_init(&actions_)) { error_ = initError_; }
  ~FileActions() {
    if (initError_ == 0) posix_spawn_file_actions_destroy(&actions_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;

  void Open(int fd, const char* path, int flags, mode_t mode) {
    if (error_ == 0) error_ = posix_spawn_file_actions_addopen(&actions_, fd, path, flags, mode);
  }
  void Dup2(int fd, int target) {
    if (error_ == 0) error_ = posix_spawn_file_actions_adddup2(&actions_, fd, target);
  }
  void Close(int fd) {
    if (error_ == 0) error_ = posix_spawn_file_actions_addclose(&actions_, fd);
  }
  [[nodiscard]] bool ChangeDirectory(const std::string& directory) {
    return error_ == 0 && posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str()) == 0;
  }

  // 0, or the error number of the first action that could not be added.
  int error() const { return error_; }
  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_{};
  int initError_ = 0;
  int error_ = 0;
};

// Owns a posix_spawnattr_t, remembering the first failure like FileActions.
class SpawnAttr {
 public:
  SpawnAttr() : initError_(posix_spawnattr_init(&attributes_)) { error_ = initError_; }
  ~SpawnAttr() {
    if (initError_ == 0) posix_spawnattr_destroy(&attributes_);
  }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;

  void SetDefaultSignals(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : signals) sigaddset(&set, signal);
    if (error_ == 0) error_ = posix_spawnattr_setsigdefault(&attributes_, &set);
  }
  void SetFlags(short flags) {
    if (error_ == 0) error_ = posix_spawnattr_setflags(&attributes_, flags);
  }

  int error() const { return error_; }
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_{};
  int initError_ = 0;
  int error_ = 0;
};

// Pointers to the texts of strings, followed by a null pointer. The strings must outlive the
// result.
std::vector<char*> ToCArgv(const std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (const std::string& text : strings) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// Starts argv with the prepared actions and attributes; environment holds "name=value" strings,
// or is null for the caller's own environment.
std::expected<pid_t, std::string> SpawnWith(const std::vector<std::string>& argv,
                                            const FileActions& actions, const SpawnAttr& attributes,
                                            const std::vector<std::string>* environment) {
  if (argv.empty()) return std::unexpected("empty command");
  int error = actions.error() != 0 ? actions.error() : attributes.error();
  pid_t pid = -1;
  if (error == 0) {
    std::vector<char*> arguments = ToCArgv(argv);
    std::vector<char*> childEnvironment;
    if (environment != nullptr) childEnvironment = ToCArgv(*environment);
    error = posix_spawnp(&pid, argv[0].c_str(), actions.get(), attributes.get(), arguments.data(),
                         environment != nullptr ? childEnvironment.data() : environ);
  }
  if (error != 0) {
    return std::unexpected(std::format("can't start {}: {}", argv[0], ErrorText(error)));
  }
  return pid;
}

[[nodiscard]] bool AddWorkingDirectory(FileActions& actions, const std::string& directory) {
  return directory.empty() || actions.ChangeDirectory(directory);
}

// The caller's environment with the overrides applied, ordered by name.
std::vector<std::string> ChildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    variables.insert_or_assign(std::string(text.substr(0, equals)),
                               std::string(text.substr(equals + 1)));
  }
  for (const auto& [name, value] : overrides) variables.insert_or_assign(name, value);
  std::vector<std::string> result;
  result.reserve(variables.size());
  for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
  return result;
}

struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

// Moves fd to a number above the standard descriptors (keeping close-on-exec), so that setting up
// descriptors 0, 1 and 2 in a child can never overwrite or close it.
bool MoveAboveStandardDescriptors(UniqueFd& fd) {
  if (fd.Get() > STDERR_FILENO) return true;
  const int moved = fcntl(fd.Get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return false;
  fd.Reset(moved);
  return true;
}

// A pipe whose ends are both close-on-exec, so that no other child started meanwhile (from any
// thread) inherits them; the file actions give the intended child its end explicitly.
std::expected<Pipe, std::string> MakePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return PipeFailed(errno);
  Pipe result{UniqueFd(fds[0]), UniqueFd(fds[1])};
  if (!MoveAboveStandardDescriptors(result.readEnd) ||
      !MoveAboveStandardDescriptors(result.writeEnd)) {
    return PipeFailed(errno);
  }
  return result;
}

// Reads fd to its end, keeping the first bytes up to the capture bound and discarding the rest.
std::string ReadBounded(int fd) {
  std::string output;
  std::array<char, kReadBlockSize> block;
  for (;;) {
    const std::int64_t count = core::ReadFull(fd, block);
    if (count <= 0) break;
    if (output.size() < kMaxCapturedOutput) output.append(block.data(), count);
    if (static_cast<std::size_t>(count) < block.size()) break;
  }
  return output;
}

pid_t WaitRepeating(pid_t pid, int* status) {
  pid_t result;
  do {
    result = waitpid(pid, status, 0);
  } while (result < 0 && errno == EINTR);
  return result;
}

ChildEnd DecodeStatus(int status) {
  if (WIFEXITED(status)) return {ChildEnd::Kind::Exited, WEXITSTATUS(status)};
  if (WIFSIGNALED(status)) return {ChildEnd::Kind::Signalled, WTERMSIG(status)};
  return {};
}

int WaitForExitCode(pid_t pid) {
  int status = 0;
  if (WaitRepeating(pid, &status) < 0) return kUnknownExitCode;
  const ChildEnd end = DecodeStatus(status);
  switch (end.kind) {
    case ChildEnd::Kind::Exited:
      return end.number;
    case ChildEnd::Kind::Signalled:
      return kSignalExitBase + end.number;
    case ChildEnd::Kind::Other:
      break;
  }
  return kUnknownExitCode;
}

void AddRunOutputActions(FileActions& actions, const Pipe& pipe, const RunOptions& options) {
  if (!options.captureOutput) {
    actions.Open(STDOUT_FILENO, kNullDevice, O_WRONLY, 0);
    actions.Dup2(STDOUT_FILENO, STDERR_FILENO);
    return;
  }
  actions.Close(pipe.readEnd.Get());
  actions.Dup2(pipe.writeEnd.Get(), STDOUT_FILENO);
  if (options.captureStderr) {
    actions.Dup2(pipe.writeEnd.Get(), STDERR_FILENO);
  } else {
    actions.Open(STDERR_FILENO, kNullDevice, O_WRONLY, 0);
  }
  actions.Close(pipe.writeEnd.Get());
}

// Blocks SIGPIPE in the calling thread while it lives. If a write hit a broken pipe, the SIGPIPE
// that the write raised is taken out of the pending set before the mask is restored, so it is
// never delivered; one that was already pending beforehand is left alone.
class SigpipeSuppressor {
 public:
  SigpipeSuppressor() {
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, &previousMask_);
  }
  ~SigpipeSuppressor() {
    if (brokenPipe_ && !wasPending_) {
      sigset_t only;
      sigemptyset(&only);
      sigaddset(&only, SIGPIPE);
      const timespec noWait{};
      while (sigtimedwait(&only, nullptr, &noWait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  SigpipeSuppressor(const SigpipeSuppressor&) = delete;
  SigpipeSuppressor& operator=(const SigpipeSuppressor&) = delete;

  void NoteBrokenPipe() { brokenPipe_ = true; }

 private:
  sigset_t previousMask_{};
  bool wasPending_ = false;
  bool brokenPipe_ = false;
};

}  // namespace

std::expected<pid_t, std::string> Spawn(const std::vector<std::string>& argv,
                                        const SpawnOptions& options) {
  FileActions actions;
  actions.Open(STDIN_FILENO, kNullDevice, O_RDONLY, 0);
  if (!options.outputFile.empty()) {
    actions.Open(STDOUT_FILENO, options.outputFile.c_str(), kOutputFileFlags, kOutputFileMode);
    actions.Dup2(STDOUT_FILENO, STDERR_FILENO);
  } else if (options.discardOutput) {
    actions.Open(STDOUT_FILENO, kNullDevice, O_WRONLY, 0);
    actions.Dup2(STDOUT_FILENO, STDERR_FILENO);
  }
  if (!AddWorkingDirectory(actions, options.workingDirectory)) {
    return std::unexpected("can't set the working directory");
  }
  SpawnAttr attributes;
  attributes.SetDefaultSignals({SIGINT, SIGPIPE, SIGTERM});
  attributes.SetFlags(
      static_cast<short>(POSIX_SPAWN_SETSIGDEF | (options.newSession ? POSIX_SPAWN_SETSID : 0)));
  if (options.environment.empty()) return SpawnWith(argv, actions, attributes, nullptr);
  const std::vector<std::string> environment = ChildEnvironment(options.environment);
  return SpawnWith(argv, actions, attributes, &environment);
}

std::optional<ChildEnd> PollChild(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
  return DecodeStatus(status);
}

std::expected<RunResult, std::string> Run(const std::vector<std::string>& argv,
                                          const RunOptions& options) {
  Pipe pipe;
  if (options.captureOutput) {
    auto made = MakePipe();
    if (!made) return std::unexpected(std::move(made.error()));
    pipe = std::move(*made);
  }
  FileActions actions;
  actions.Open(STDIN_FILENO, kNullDevice, O_RDONLY, 0);
  AddRunOutputActions(actions, pipe, options);
  if (!AddWorkingDirectory(actions, options.workingDirectory)) {
    return std::unexpected("can't set the working directory");
  }
  const SpawnAttr noAttributes;
  const auto pid = SpawnWith(argv, actions, noAttributes, nullptr);
  pipe.writeEnd.Reset();  // Only the child may hold the write end, or the read never ends.
  std::string output;
  if (pid && pipe.readEnd) output = ReadBounded(pipe.readEnd.Get());
  pipe.readEnd.Reset();
  if (!pid) return std::unexpected(pid.error());
  return RunResult{WaitForExitCode(*pid), std::move(output)};
}

bool CommandExists(std::string_view name) {
  if (name.empty()) return false;
  const auto isExecutableFile = [](const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string_view::npos) return isExecutableFile(std::string(name));
  const char* fromEnvironment = std::getenv("PATH");
  const std::string_view searchPath = fromEnvironment ? fromEnvironment : kDefaultSearchPath;
  std::size_t start = 0;
  while (start <= searchPath.size()) {
    std::size_t end = searchPath.find(':', start);
    if (end == std::string_view::npos) end = searchPath.size();
    const std::string_view directory = searchPath.substr(start, end - start);
    if (!directory.empty() && isExecutableFile(std::format("{}/{}", directory, name))) return true;
    start = end + 1;
  }
  return false;
}

std::string ShellQuote(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::expected<PipedProcess, std::string> PipedProcess::Start(const std::vector<std::string>& argv) {
  auto pipe = MakePipe();  // The write end is close-on-exec: the child must not hold it.
  if (!pipe) return std::unexpected(std::move(pipe.error()));
  FileActions actions;
  actions.Dup2(pipe->readEnd.Get(), STDIN_FILENO);
  actions.Close(pipe->readEnd.Get());
  actions.Open(STDOUT_FILENO, kNullDevice, O_WRONLY, 0);
  actions.Dup2(STDOUT_FILENO, STDERR_FILENO);
  const SpawnAttr noAttributes;
  const auto pid = SpawnWith(argv, actions, noAttributes, nullptr);
  pipe->readEnd.Reset();
  if (!pid) return std::unexpected(pid.error());
  return PipedProcess(*pid, std::move(pipe->writeEnd));
}

PipedProcess::~PipedProcess() {
  Close();
}

PipedProcess::PipedProcess(PipedProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)), stdinFd_(std::move(other.stdinFd_)) {}

PipedProcess& PipedProcess::operator=(PipedProcess&& other) noexcept {
  if (this != &other) {
    Close();
    pid_ = std::exchange(other.pid_, -1);
    stdinFd_ = std::move(other.stdinFd_);
  }
  return *this;
}

bool PipedProcess::Write(std::string_view data) {
  if (!stdinFd_) return false;
  SigpipeSuppressor suppressor;
  if (core::WriteAll(stdinFd_.Get(), data)) return true;
  if (errno == EPIPE) suppressor.NoteBrokenPipe();
  return false;
}

void PipedProcess::Close() noexcept {
  stdinFd_.Reset();
  if (pid_ >= 1) {
    int status = 0;
    WaitRepeating(pid_, &status);
    pid_ = -1;
  }
}

}  // namespace emberdale::posix
