// The real HTTPS content server of the tests (content_server.py) as a child process, its test
// certificates, and a private mount namespace in which libcurl trusts only the test CA.
//
// The product never sets a CA option: verification always uses the system bundle. A test process
// therefore calls TrustOnlyTestCa once, which moves it into its own mount namespace (root only)
// and bind-mounts the test CA over the system bundle there; nothing outside the process changes.
#pragma once

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace emberdale::test {

// The system CA bundle that libcurl reads (compiled into Debian's libcurl).
inline constexpr std::string_view kSystemCaBundle = "/etc/ssl/certs/ca-certificates.crt";

// The certificates make_test_ca.sh writes into one folder.
struct TestCertificates {
  std::filesystem::path dir;

  std::filesystem::path CaBundle() const { return dir / "bundle.pem"; }
  // Signed by the test CA for localhost, 127.0.0.1 and the host names asked for.
  std::filesystem::path ServerCert() const { return dir / "server.pem"; }
  std::filesystem::path ServerKey() const { return dir / "server-key.pem"; }
  // Signed by a CA nobody trusts, for the same names.
  std::filesystem::path UntrustedCert() const { return dir / "untrusted.pem"; }
  std::filesystem::path UntrustedKey() const { return dir / "untrusted-key.pem"; }
  // Signed by the test CA for wrong-host.invalid only.
  std::filesystem::path WrongHostCert() const { return dir / "wrong-host.pem"; }
  std::filesystem::path WrongHostKey() const { return dir / "wrong-host-key.pem"; }
};

// Runs make_test_ca.sh into `dir` (created) for localhost, 127.0.0.1 and `hosts`.
[[nodiscard]] std::expected<TestCertificates, std::string> MakeTestCertificates(
    const std::filesystem::path& dir, const std::vector<std::string>& hosts = {});

// Certificates made once per test process, in a folder removed at exit.
[[nodiscard]] std::expected<TestCertificates, std::string> SharedTestCertificates();

// Moves the calling process (root only) into a private mount namespace where `caBundle` is
// mounted over the system bundle. Call it from the thread that runs the transfers, before any
// other thread exists. Later calls return the first call's result. The error says why it is
// unavailable, for a test to skip with.
[[nodiscard]] std::expected<void, std::string> TrustOnlyTestCa(
    const std::filesystem::path& caBundle);

// One request as the server saw it.
struct ServedRequest {
  std::string method;
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // names as the client sent them

  // The value of a header, matched without regard to case; empty when absent.
  std::string Header(std::string_view name) const;
};

// The requests in a server's request log (the --log file), in arrival order.
std::vector<ServedRequest> ReadRequestLog(const std::filesystem::path& log);

// A running content_server.py. Stopped (SIGTERM, then waited for) when destroyed; it also ends
// when the test process dies.
class ContentServer {
 public:
  struct Options {
    std::filesystem::path root;  // the folder served
    std::filesystem::path cert;
    std::filesystem::path key;
    std::filesystem::path workDir;  // control file, request log, server output
    std::string address = "127.0.0.1";
    int port = 0;  // 0: any free port
  };

  // Starts the server and waits until it listens.
  [[nodiscard]] static std::expected<std::unique_ptr<ContentServer>, std::string> Start(
      Options options);

  ~ContentServer();
  ContentServer(const ContentServer&) = delete;
  ContentServer& operator=(const ContentServer&) = delete;

  int port() const { return port_; }
  // "https://host:port" + path (path begins with "/").
  std::string Url(std::string_view path, std::string_view host = "127.0.0.1") const;

  // Switches on misbehaviour for one path (see content_server.py for the rule keys), replacing
  // that path's earlier rule. Takes effect from the next request.
  void SetRule(const std::string& path, const nlohmann::json& rule);
  void ClearRules();

  // Every request seen so far, in arrival order.
  std::vector<ServedRequest> Requests() const;
  // The requests seen for one path.
  std::vector<ServedRequest> RequestsFor(std::string_view path) const;

 private:
  ContentServer(Options options, pid_t pid, int port);
  void WriteControl() const;

  Options options_;
  pid_t pid_;
  int port_;
  nlohmann::json rules_ = nlohmann::json::object();
};

// Where content_server.py and make_test_ca.sh live.
std::filesystem::path ContentServerScript();
std::filesystem::path MakeTestCaScript();

// The python3 interpreter to run the server with.
std::string PythonInterpreter();

}  // namespace emberdale::test
