#include "tests/support/content_server.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <format>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "tests/support/temp_dir.h"

namespace emberdale::test {
namespace {

namespace fs = std::filesystem;

// How long a starting server may take to listen before the test gives up on it.
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kStartPoll = std::chrono::milliseconds(20);

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

// Starts argv with standard output and error appended to `output`; the child is ended when the
// test process dies. Returns the child's pid, or -1.
pid_t StartChild(const std::vector<std::string>& argv, const fs::path& output) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);
  const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
  }
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) dup2(null, STDIN_FILENO);
  execvp(args[0], args.data());
  _exit(127);
}

// The child's exit status, or -1.
int WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAtomically(const fs::path& path, const std::string& text) {
  const fs::path temp = path.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::error_code ignored;
  fs::rename(temp, path, ignored);
}

std::expected<void, std::string> EnterCaNamespace(const fs::path& caBundle) {
  if (geteuid() != 0) return std::unexpected("not root: can't make a private mount namespace");
  if (unshare(CLONE_NEWNS) != 0) return std::unexpected("unshare: " + ErrnoText(errno));
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return std::unexpected("making / private: " + ErrnoText(errno));
  }
  const std::string target(kSystemCaBundle);
  if (mount(caBundle.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
    return std::unexpected(
        std::format("bind-mounting the test CA over {}: {}", target, ErrnoText(errno)));
  }
  return {};
}

}  // namespace

fs::path ContentServerScript() {
  return fs::path(EMBERDALE_SOURCE_DIR) / "demo" / "content_server.py";
}
fs::path MakeTestCaScript() {
  return fs::path(EMBERDALE_SOURCE_DIR) / "demo" / "make_test_ca.sh";
}

std::string PythonInterpreter() {
  // Debian's own interpreter starts faster than a version-manager shim found first in PATH.
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

std::expected<TestCertificates, std::string> MakeTestCertificates(
    const fs::path& dir, const std::vector<std::string>& hosts) {
  std::error_code error;
  fs::create_directories(dir, error);
  std::vector<std::string> argv{"bash", MakeTestCaScript().string(), dir.string()};
  argv.insert(argv.end(), hosts.begin(), hosts.end());
  const fs::path output = dir / "make_test_ca.out";
  const pid_t pid = StartChild(argv, output);
  if (pid < 0) return std::unexpected("fork failed: " + ErrnoText(errno));
  if (const int status = WaitForChild(pid); status != 0) {
    return std::unexpected(
        std::format("make_test_ca.sh ended with {}: {}", status, ReadText(output)));
  }
  return TestCertificates{dir};
}

std::expected<TestCertificates, std::string> SharedTestCertificates() {
  static TempDir dir;
  static const auto certificates = MakeTestCertificates(dir / "certs");
  return certificates;
}

std::expected<void, std::string> TrustOnlyTestCa(const fs::path& caBundle) {
  static const auto result = EnterCaNamespace(caBundle);
  return result;
}

std::string ServedRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.c_str(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return {};
}

std::expected<std::unique_ptr<ContentServer>, std::string> ContentServer::Start(Options options) {
  std::error_code error;
  fs::create_directories(options.workDir, error);
  const fs::path ready = options.workDir / "ready";
  const fs::path output = options.workDir / "server.out";
  fs::remove(ready, error);
  WriteAtomically(options.workDir / "control.json", R"({"rules": {}})");

  const pid_t pid = StartChild(
      {PythonInterpreter(), ContentServerScript().string(), "--root", options.root.string(),
       "--cert", options.cert.string(), "--key", options.key.string(), "--host", options.address,
       "--port", std::to_string(options.port), "--ready", ready.string(), "--control",
       (options.workDir / "control.json").string(), "--log",
       (options.workDir / "requests.log").string()},
      output);
  if (pid < 0) return std::unexpected("fork failed: " + ErrnoText(errno));

  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  while (!fs::exists(ready, error)) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return std::unexpected("content server ended at start: " + ReadText(output));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      WaitForChild(pid);
      return std::unexpected("content server did not start listening: " + ReadText(output));
    }
    std::this_thread::sleep_for(kStartPoll);
  }
  const int port = std::stoi(ReadText(ready));
  return std::unique_ptr<ContentServer>(new ContentServer(std::move(options), pid, port));
}

ContentServer::ContentServer(Options options, pid_t pid, int port)
    : options_(std::move(options)), pid_(pid), port_(port) {}

ContentServer::~ContentServer() {
  kill(pid_, SIGTERM);
  WaitForChild(pid_);
}

std::string ContentServer::Url(std::string_view path, std::string_view host) const {
  return std::format("https://{}:{}{}", host, port_, path);
}

void ContentServer::SetRule(const std::string& path, const nlohmann::json& rule) {
  rules_[path] = rule;
  WriteControl();
}

void ContentServer::ClearRules() {
  rules_ = nlohmann::json::object();
  WriteControl();
}

void ContentServer::WriteControl() const {
  WriteAtomically(options_.workDir / "control.json", nlohmann::json{{"rules", rules_}}.dump());
}

std::vector<ServedRequest> ContentServer::Requests() const {
  return ReadRequestLog(options_.workDir / "requests.log");
}

std::vector<ServedRequest> ReadRequestLog(const fs::path& log) {
  std::vector<ServedRequest> requests;
  std::istringstream lines(ReadText(log));
  for (std::string line; std::getline(lines, line);) {
    const auto record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object()) continue;
    ServedRequest request;
    request.method = record.value("method", "");
    request.path = record.value("path", "");
    request.query = record.value("query", "");
    for (const auto& [name, value] : record.value("headers", nlohmann::json::object()).items()) {
      if (value.is_string()) request.headers[name] = value.get<std::string>();
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

std::vector<ServedRequest> ContentServer::RequestsFor(std::string_view path) const {
  std::vector<ServedRequest> matching;
  for (auto& request : Requests()) {
    if (request.path == path) matching.push_back(std::move(request));
  }
  return matching;
}

}  // namespace emberdale::test
