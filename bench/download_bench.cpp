// Throughput and overhead of the libcurl client against the curl command line, same server, same
// run, TLS verification on for both.
//
//   download_bench [--size-mb N] [--runs N] [--fetches N] [--server nginx|python]
//
// 1. A file of N MiB (default 500) is downloaded over loopback HTTPS with
//    CurlDownloader::DownloadOnce, which also computes the file's SHA-256 as it arrives, with
//    `curl -s -o`, and with `curl -s -o && sha256sum` (the same work by hand), in turn, --runs
//    times each (default 3); the medians and their ratios are printed.
// 2. A 2 KiB manifest is fetched --fetches times (default 20) with FetchText and with `curl -s`,
//    each with a new connection and TLS handshake; medians are printed (curl's both as the wall
//    time of the whole command and as its own time_total, which leaves out process start).
//
// Needs root: the process moves into a private mount namespace in which a test CA, made at start
// with demo/make_test_ca.sh, is mounted over the system CA bundle, so that both clients
// verify the server as shipped. The server is nginx when installed (default), otherwise
// demo/content_server.py, which is much slower than either client.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <format>
#include <fstream>
#include <print>
#include <string>
#include <thread>
#include <vector>

#include "core/deployment.h"
#include "core/unique_fd.h"
#include "posix/curl_client.h"
#include "posix/process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using emberdale::core::UniqueFd;
using emberdale::posix::CurlDownloader;
using emberdale::posix::FetchText;
using emberdale::posix::Run;
using emberdale::posix::RunOptions;
using emberdale::posix::Spawn;
using emberdale::posix::SpawnOptions;

constexpr const char* kSystemCaBundle = "/etc/ssl/certs/ca-certificates.crt";
constexpr std::size_t kMiB = 1 << 20;
constexpr std::size_t kManifestBytes = 2048;
constexpr std::int64_t kManifestTimeout = 15;
constexpr std::size_t kManifestMaxBytes = 5'242'880;
// The CDN policy: 10 s to connect, at least 1024 bytes/s over 60 s.
constexpr emberdale::core::DownloadPolicy kCdnPolicy{
    .attempts = 4, .connectTimeout = 10, .lowSpeedLimit = 1024, .lowSpeedTime = 60};
constexpr auto kServerStartLimit = std::chrono::seconds(20);

struct Options {
  std::size_t sizeMiB = 500;
  int runs = 3;
  int fetches = 20;
  std::string server = "nginx";
};

const fs::path kSourceDir = EMBERDALE_SOURCE_DIR;

// What Fail must clean up: the server child and the work folder.
pid_t g_serverPid = -1;
fs::path g_workDir;

void StopServer() {
  if (g_serverPid <= 0) return;
  kill(g_serverPid, SIGTERM);
  int status = 0;
  waitpid(g_serverPid, &status, 0);
  g_serverPid = -1;
}

void RemoveWorkDir() {
  std::error_code ignored;
  if (!g_workDir.empty()) fs::remove_all(g_workDir, ignored);
}

[[noreturn]] void Fail(const std::string& message) {
  std::println(stderr, "download_bench: {}", message);
  StopServer();
  RemoveWorkDir();
  std::exit(1);
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--size-mb")
      options.sizeMiB = std::stoul(value);
    else if (name == "--runs")
      options.runs = std::stoi(value);
    else if (name == "--fetches")
      options.fetches = std::stoi(value);
    else if (name == "--server")
      options.server = value;
    else
      Fail("unknown option " + name);
  }
  return options;
}

void TrustOnly(const fs::path& bundle) {
  if (geteuid() != 0) Fail("needs root (a private mount namespace trusting the test CA)");
  if (unshare(CLONE_NEWNS) != 0) Fail(std::format("unshare: {}", std::strerror(errno)));
  if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount(bundle.c_str(), kSystemCaBundle, nullptr, MS_BIND, nullptr) != 0) {
    Fail(std::format("mounting the test CA: {}", std::strerror(errno)));
  }
}

int FreePort() {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    Fail("no free port");
  }
  return ntohs(address.sin_port);
}

bool Listening(int port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) Fail("can't write " + path.string());
}

void WriteBigFile(const fs::path& path, std::size_t mebibytes) {
  std::string block(kMiB, '\0');
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131) >> 3);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (std::size_t i = 0; i < mebibytes; ++i) out.write(block.data(), kMiB);
  if (!out) Fail("can't write " + path.string());
}

std::string NginxConfig(const fs::path& work, const fs::path& certs, int port) {
  return std::format(
      "daemon off;\nmaster_process off;\nworker_processes 1;\npid {0}/nginx.pid;\n"
      "error_log {0}/nginx.err;\nevents {{ worker_connections 64; }}\n"
      "http {{\n  access_log off;\n  sendfile off;\n  output_buffers 2 1m;\n  default_type "
      "application/octet-stream;\n"
      "  client_body_temp_path {0}/tmp;\n  proxy_temp_path {0}/tmp;\n"
      "  server {{\n    listen 127.0.0.1:{1} ssl;\n    ssl_certificate {2}/server.pem;\n"
      "    ssl_certificate_key {2}/server-key.pem;\n    root {0}/www;\n  }}\n}}\n",
      work.string(), port, certs.string());
}

pid_t StartServer(const Options& options, const fs::path& work, int port) {
  const fs::path certs = work / "certs";
  std::vector<std::string> argv;
  if (options.server == "nginx") {
    fs::create_directories(work / "tmp");
    WriteText(work / "nginx.conf", NginxConfig(work, certs, port));
    argv = {"nginx",
            "-p",
            work.string(),
            "-e",
            (work / "nginx.err").string(),
            "-c",
            (work / "nginx.conf").string()};
  } else {
    argv = {access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3",
            (kSourceDir / "demo/content_server.py").string(),
            "--root",
            (work / "www").string(),
            "--cert",
            (certs / "server.pem").string(),
            "--key",
            (certs / "server-key.pem").string(),
            "--port",
            std::to_string(port)};
  }
  SpawnOptions spawn;
  spawn.outputFile = (work / "server.out").string();
  auto pid = Spawn(argv, spawn);
  if (!pid) Fail(pid.error());
  for (const auto deadline = Clock::now() + kServerStartLimit; !Listening(port);) {
    if (Clock::now() > deadline) Fail("the server did not start listening");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return *pid;
}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values) {
  std::ranges::sort(values);
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

template <typename F>
double Timed(F&& work) {
  const auto start = Clock::now();
  work();
  return Seconds(Clock::now() - start);
}

void BenchDownload(const Options& options, const fs::path& work, const std::string& url) {
  const double bytes = static_cast<double>(options.sizeMiB * kMiB);
  CurlDownloader downloader(
      std::format("Emberdale-Updater/{} (macOS)", emberdale::core::kUpdaterVersion), {});
  const fs::path ours = work / "ours.bin", theirs = work / "theirs.bin";
  const std::string curlOut = std::format("curl -s -f -o '{}' '{}'", theirs.string(), url);
  std::vector<double> client, tool, toolHashing;
  const auto byHand = [&](const std::string& command) {
    const double seconds = Timed([&] {
      auto r = Run({"sh", "-c", command}, RunOptions{});
      if (!r || r->exitCode != 0) Fail(command + " failed");
    });
    if (fs::file_size(theirs) != options.sizeMiB * kMiB) Fail("incomplete download");
    fs::remove(theirs);
    return bytes / seconds / 1e6;
  };
  for (int run = 1; run <= options.runs; ++run) {
    const double a = Timed([&] {
      if (auto r = downloader.DownloadOnce(url, ours, kCdnPolicy, {}); !r) Fail(r.error().message);
    });
    if (fs::file_size(ours) != options.sizeMiB * kMiB) Fail("incomplete download");
    fs::remove(ours);
    client.push_back(bytes / a / 1e6);
    tool.push_back(byHand(curlOut));
    toolHashing.push_back(
        byHand(std::format("{} && sha256sum '{}' >/dev/null", curlOut, theirs.string())));
    std::println(
        "download run {}: CurlDownloader (with its SHA-256) {:.1f} MB/s, curl -o {:.1f} "
        "MB/s, curl -o && sha256sum {:.1f} MB/s",
        run, client.back(), tool.back(), toolHashing.back());
  }
  const double ours_ = Median(client), curl = Median(tool), curlHashing = Median(toolHashing);
  std::println("FIGURE transfer ours={:.0f}MB/s peer={:.0f}MB/s(curl-o) ratio={:.2f} goal=>=0.95",
               ours_, curl, ours_ / curl);
  std::println(
      "FIGURE transfer+sha256 ours={:.0f}MB/s peer={:.0f}MB/s(curl-o+sha256sum) ratio={:.2f} "
      "goal=>=0.95",
      ours_, curlHashing, ours_ / curlHashing);
}

void BenchFetch(const Options& options, const std::string& url) {
  const std::string userAgent =
      std::format("Emberdale-Updater/{} (macOS)", emberdale::core::kUpdaterVersion);
  std::vector<double> client, toolWall, toolOwn;
  RunOptions capture;
  capture.captureOutput = true;
  for (int i = 0; i < options.fetches; ++i) {
    client.push_back(Timed([&] {
      auto r = FetchText(url, userAgent, kManifestTimeout, kManifestMaxBytes, {});
      if (!r || r->size() != kManifestBytes) Fail(r ? "short manifest" : r.error());
    }));
    std::string own;
    toolWall.push_back(Timed([&] {
      auto r = Run({"curl", "-s", "-f", "-o", "/dev/null", "-w", "%{time_total}", url}, capture);
      if (!r || r->exitCode != 0) Fail("curl -s failed");
      own = r->output;
    }));
    toolOwn.push_back(std::stod(own));
  }
  std::println(
      "manifest fetch ({} B, {} fetches, new TLS connection each): FetchText median {:.2f} ms; "
      "curl -s median {:.2f} ms wall including process start, {:.2f} ms by its time_total",
      kManifestBytes, options.fetches, Median(client) * 1e3, Median(toolWall) * 1e3,
      Median(toolOwn) * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  if (options.server == "nginx" && !emberdale::posix::CommandExists("nginx")) {
    std::println("nginx is not installed: serving with content_server.py instead");
    options.server = "python";
  }
  std::string pattern = "/tmp/emberdale-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp failed");
  g_workDir = pattern;
  const fs::path work = g_workDir;
  auto certs =
      Run({"bash", (kSourceDir / "demo/make_test_ca.sh").string(), (work / "certs").string()},
          RunOptions{});
  if (!certs || certs->exitCode != 0) Fail("make_test_ca.sh failed");
  TrustOnly(work / "certs" / "bundle.pem");

  fs::create_directories(work / "www");
  WriteBigFile(work / "www" / "big.bin", options.sizeMiB);
  WriteText(work / "www" / "manifest.json", std::string(kManifestBytes, 'm'));

  const int port = FreePort();
  g_serverPid = StartServer(options, work, port);
  std::println("server: {} on https://127.0.0.1:{} (TLS verification on for both clients)",
               options.server, port);
  std::println("file: {} MiB, {} runs each, alternating", options.sizeMiB, options.runs);
  BenchDownload(options, work, std::format("https://127.0.0.1:{}/big.bin", port));
  BenchFetch(options, std::format("https://127.0.0.1:{}/manifest.json", port));
  StopServer();
  RemoveWorkDir();
  return 0;
}
