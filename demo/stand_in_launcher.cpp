// A stand-in for the Emberdale launcher, for the demo and the end-to-end tests. Started by the
// updater, it records what it was given - arguments, working directory and the launcher
// environment - in $EMBERDALE_HOME/stand-in-launcher.record, one item per line (CLOCK: the
// CLOCK_MONOTONIC nanoseconds at which main began, for the start benchmark), and then behaves as
// EMBERDALE_STAND_IN_MODE says:
//   serve (default)  serve the app-link socket: write the endpoint file into $EMBERDALE_HOME,
//                    answer "OK\n" to every "OPEN <link>\n" and record "LINK <link>"; end on
//                    SIGTERM/SIGINT or after EMBERDALE_STAND_IN_SECONDS (default 600)
//   exit:<code>      exit at once with <code>
//   jvm-fail         print "Failed to find JVM" and exit with 1
#include <poll.h>
#include <signal.h>
#include <time.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

constexpr const char* kRecordName = "stand-in-launcher.record";
constexpr const char* kEndpointName = "launcher-app-link.endpoint";
constexpr const char* kRecordedVariables[] = {"SKIKO_RENDER_API",
                                              "SKIKO_FALLBACK_RENDER_API",
                                              "EMBERDALE_LAUNCHER_MODE",
                                              "EMBERDALE_HOME",
                                              "JAVA_HOME",
                                              "PATH"};

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
  g_stop = 1;
}

std::string Env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

class Record {
 public:
  explicit Record(const std::filesystem::path& path) : out_(path, std::ios::app) {}
  void Add(const std::string& kind, const std::string& value) {
    out_ << kind << ' ' << value << '\n';
    out_.flush();
  }

 private:
  std::ofstream out_;
};

long long MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void RecordStart(Record& record, long long startNanoseconds, int argc, char** argv) {
  record.Add("START", std::to_string(getpid()));
  record.Add("CLOCK", std::to_string(startNanoseconds));
  for (int i = 1; i < argc; ++i) record.Add("ARG", argv[i]);
  record.Add("CWD", std::filesystem::current_path().native());
  for (const char* name : kRecordedVariables)
    record.Add("ENV", std::string(name) + "=" + Env(name));
}

// Reads one request line and answers it; records the link.
void Answer(int client, Record& record) {
  std::string request;
  char c = 0;
  while (request.size() < 8192 && read(client, &c, 1) == 1 && c != '\n') request += c;
  if (request.rfind("OPEN ", 0) == 0) {
    record.Add("LINK", request.substr(5));
    send(client, "OK\n", 3, MSG_NOSIGNAL);
  }
  close(client);
}

int Serve(Record& record, const std::filesystem::path& home) {
  const std::string socketPath = "/tmp/emberdale-stand-in-" + std::to_string(getpid()) + ".sock";
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
  unlink(socketPath.c_str());
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 8) != 0) {
    std::perror("stand-in launcher: socket");
    return 2;
  }
  const std::filesystem::path endpoint = home / kEndpointName;
  std::ofstream(endpoint.native() + ".tmp") << socketPath << "\n";
  std::filesystem::rename(endpoint.native() + ".tmp", endpoint);
  record.Add("SERVING", socketPath);
  std::printf("Emberdale Launcher (stand-in) is running\n");
  std::fflush(stdout);

  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::seconds(std::atoi(Env("EMBERDALE_STAND_IN_SECONDS", "600").c_str()));
  while (!g_stop && std::chrono::steady_clock::now() < deadline) {
    pollfd waiting{listener, POLLIN, 0};
    if (poll(&waiting, 1, 200) == 1) {
      const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) Answer(client, record);
    }
  }
  std::error_code ec;
  std::filesystem::remove(endpoint, ec);
  unlink(socketPath.c_str());
  record.Add("STOP", std::to_string(getpid()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const long long started = MonotonicNanoseconds();
  std::signal(SIGTERM, OnSignal);
  std::signal(SIGINT, OnSignal);
  const std::filesystem::path home = Env("EMBERDALE_HOME", ".");
  Record record(home / kRecordName);
  RecordStart(record, started, argc, argv);

  const std::string mode = Env("EMBERDALE_STAND_IN_MODE", "serve");
  if (mode.rfind("exit:", 0) == 0) return std::atoi(mode.c_str() + 5);
  if (mode == "jvm-fail") {
    std::printf("Error: Failed to find JVM\n");
    return 1;
  }
  return Serve(record, home);
}
