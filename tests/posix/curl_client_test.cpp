// ctest-labels: slow;root
// The libcurl client against demo/content_server.py with certificate verification on. ctest runs
// this program inside scripts/netns_harness.sh (root), where the configured host names reach the
// server and only the test CA is trusted: the client runs as shipped.
#include "posix/curl_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <memory>

#include "core/deployment.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Progress = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

const std::string kAgent = "Emberdale-Updater/1.0.0 (macOS)";
const std::string kWrongHost = "https://127.0.0.2";  // the CDN host's address: not in the certificate
constexpr core::DownloadPolicy kPatient{1, 10, 1, 30};
constexpr core::DownloadPolicy kImpatient{1, 10, 1000, 1};  // gives up after 1 s below 1000 B/s
const std::string kContent(1 << 20, 'p');

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}
std::string Url(const std::string& path) {
  return std::format("https://{}{}", core::kCdnHost, path);
}
std::string Curl(CURLcode code) {
  return curl_easy_strerror(code);
}
std::string Outcome(const std::expected<std::string, std::string>& result) {
  return result ? *result : result.error();
}

class CurlClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("EMBERDALE_TEST_SERVER_ROOT").empty()) {
      GTEST_SKIP() << "needs the server of scripts/netns_harness.sh (root); ctest runs it there";
    }
    ASSERT_EQ(test::EnterPrivateMountNamespace(), "");  // for the mounts of single rows
  }
  void Serve(const std::string& path, const std::string& content) {
    test::WriteFile(Env("EMBERDALE_TEST_SERVER_ROOT") + path, content);
  }
  // Switches the server's misbehaviour per path; read again on each request.
  void Rules(const json& rules) {
    std::ofstream(Env("EMBERDALE_TEST_SERVER_CONTROL")) << json{{"rules", rules}}.dump();
  }
  // The requests the server saw for one path (logged before it answers).
  std::vector<json> Seen(const std::string& path) {
    std::vector<json> seen;
    std::ifstream log(Env("EMBERDALE_TEST_SERVER_LOG"));
    for (std::string line; std::getline(log, line);) {
      if (json request = json::parse(line); request["path"] == path) seen.push_back(request);
    }
    return seen;
  }
  // While it lives, the system bundle holds only a CA that signed nothing the server shows.
  std::unique_ptr<test::ScopedMount> UnknownCa() {
    return std::make_unique<test::BindMount>(
        fs::path(Env("EMBERDALE_TEST_CA")).parent_path() / "unknown-ca.pem",
        "/etc/ssl/certs/ca-certificates.crt");
  }
  test::TempDir dir;
};

TEST_F(CurlClientTest, FetchTextGivesTheBodyOfA200OrWhyNot) {
  const std::string manifest(2048, 'm');
  for (const char* path : {"/text/manifest.json", "/text/gzip.json"}) Serve(path, manifest);
  Rules({{"/text/gzip.json", {{"gzip", true}}},
         {"/text/404", {{"status", 404}}},
         {"/text/204", {{"status", 204}}},
         {"/text/503", {{"status", 503}}},
         {"/text/slow", {{"delay_ms", 3000}}},
         {"/text/moved", {{"redirect", Url("/text/manifest.json")}}},
         {"/text/plain", {{"redirect", std::format("http://{}/x", core::kCdnHost)}}}});
  struct Row {
    std::string url, outcome;
    std::size_t cap = 2048;
    std::int64_t timeout = 15;
    bool cancel = false, unknownCa = false;
  };
  for (const Row& row : std::vector<Row>{
           {Url("/text/manifest.json?t=1700000000"), manifest},
           {Url("/text/manifest.json"), "response larger than 2047 bytes", 2047},
           {Url("/text/gzip.json"), manifest},
           {Url("/text/404"), "HTTP 404"},
           {Url("/text/204"), "HTTP 204"},
           {Url("/text/503"), "HTTP 503"},
           {Url("/text/slow"), Curl(CURLE_OPERATION_TIMEDOUT), 2048, 1},
           {Url("/text/manifest.json"), Curl(CURLE_ABORTED_BY_CALLBACK), 2048, 15, true},
           {Url("/text/moved"), manifest},
           {Url("/text/plain"), Curl(CURLE_UNSUPPORTED_PROTOCOL)},
           {kWrongHost + "/text/manifest.json", Curl(CURLE_PEER_FAILED_VERIFICATION)},
           {Url("/text/manifest.json"), Curl(CURLE_PEER_FAILED_VERIFICATION), 2048, 15, false, true},
       }) {
    SCOPED_TRACE(row.url);
    const auto ca = row.unknownCa ? UnknownCa() : nullptr;
    if (ca) ASSERT_EQ(ca->error(), "");
    const CancelPredicate cancel = [&] { return row.cancel; };
    EXPECT_EQ(Outcome(FetchText(row.url, kAgent, row.timeout, row.cap, cancel)), row.outcome);
  }
  const auto first = Seen("/text/manifest.json");
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first[0]["query"], "t=1700000000");
  EXPECT_EQ(first[0]["headers"]["User-Agent"], kAgent);
  EXPECT_NE(Seen("/text/gzip.json").at(0)["headers"].value("Accept-Encoding", "").find("gzip"),
            std::string::npos);
}

TEST_F(CurlClientTest, DownloadWritesTheFileOrClassifiesTheFailure) {
  enum Kind { kPlain, kUnknownCa, kWrongHostName, kMissingFolder, kFullDisk, kCancel };
  struct Row {
    std::string path;
    json rule;
    std::string error;  // empty: the download succeeds
    bool retryable = false;
    std::size_t requests = 1;
    Kind kind = kPlain;
    core::DownloadPolicy policy = kPatient;
  };
  const std::string stalled = "too slow or stalled";
  const std::vector<Row> rows{
      {"/dl/ok.zip", json::object(), ""},
      {"/dl/chunked.zip", {{"chunked", true}}, ""},
      {"/dl/404", {{"status", 404}}, "HTTP 404", false},
      {"/dl/403", {{"status", 403}}, "HTTP 403", false},
      {"/dl/204", {{"status", 204}}, "HTTP 204", false},
      {"/dl/408", {{"status", 408}}, "HTTP 408", true},
      {"/dl/429", {{"status", 429}}, "HTTP 429", true},
      {"/dl/500", {{"status", 500}}, "HTTP 500", true},
      {"/dl/503", {{"status", 503}}, "HTTP 503", true},
      {"/dl/moved.zip", {{"redirect", Url("/dl/ok.zip")}}, ""},
      {"/dl/plain", {{"redirect", Url("/dl/ok.zip").replace(0, 5, "http")}},
       Curl(CURLE_UNSUPPORTED_PROTOCOL), true},
      {"/dl/loop", {{"redirect_loop", true}}, Curl(CURLE_TOO_MANY_REDIRECTS), true, 11},
      {"/dl/stall", {{"stall_after", 4096}}, stalled, true, 1, kPlain, kImpatient},
      {"/dl/trickle", {{"trickle_rate", 200}}, stalled, true, 1, kPlain, kImpatient},
      {"/dl/stall-0", {{"stall_after", 4096}}, stalled, true, 1, kPlain, {1, 10, 0, 1}},
      {"/dl/cut", {{"cut_after", 200000}}, Curl(CURLE_RECV_ERROR), true},
      {"/dl/ca", json::object(), Curl(CURLE_PEER_FAILED_VERIFICATION), true, 0,
       kUnknownCa},
      {"/dl/host", json::object(), Curl(CURLE_PEER_FAILED_VERIFICATION), true, 0,
       kWrongHostName},
      {"/dl/folder", json::object(), "can't create " + (dir / "none" / "f").native(), false, 0,
       kMissingFolder},
      {"/dl/full", json::object(), "can't write " + (dir / "full" / "f").native(), false, 1,
       kFullDisk},
      {"/dl/cancel", {{"stall_after", 65536}}, "cancelled", false, 1, kCancel},
  };
  json rules;
  for (const Row& row : rows) rules[row.path] = row.rule;
  Rules(rules);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    Serve(row.path, kContent);
    fs::path file = dir / "download.bin";
    std::unique_ptr<test::ScopedMount> mount = row.kind == kUnknownCa ? UnknownCa() : nullptr;
    if (row.kind == kMissingFolder) file = dir / "none" / "f";
    if (row.kind == kFullDisk) {
      file = dir / "full" / "f";
      fs::create_directory(file.parent_path());
      mount = std::make_unique<test::TmpfsMount>(file.parent_path(), 0, "size=64k");
    }
    if (mount) ASSERT_EQ(mount->error(), "");
    Progress progress;
    CurlDownloader downloader(kAgent, [&] { return row.kind == kCancel && !progress.empty(); });
    const auto result = downloader.DownloadOnce(
        (row.kind == kWrongHostName ? kWrongHost + row.path : Url(row.path)), file, row.policy,
        [&](std::uint64_t received, std::uint64_t total) { progress.emplace_back(received, total); });
    EXPECT_EQ(Seen(row.path).size(), row.requests);
    if (!row.error.empty()) {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().message, row.error);
      EXPECT_EQ(result.error().retryable, row.retryable);
      continue;
    }
    ASSERT_TRUE(result) << result.error().message;
    EXPECT_EQ(test::ReadFile(file), kContent);
    ASSERT_FALSE(progress.empty());
    EXPECT_GE(progress[0].first, 1u);
    for (std::size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i], progress[i - 1]);
    const std::uint64_t total = row.rule.contains("chunked") ? 0 : kContent.size();
    EXPECT_EQ(progress.back(), Progress::value_type(kContent.size(), total));
  }
}

// A proxy set once applies to later transfers except to the hosts of noProxy. It can't be unset,
// so each case runs in a child process. Nothing listens on port 1 in the harness.
TEST_F(CurlClientTest, ProxyRoutesLaterTransfersExceptToExcludedHosts) {
  Serve("/proxy.json", "{}");
  const auto fetchThroughProxy = [](const std::string& noProxy) {
    SetProxy({"http://127.0.0.1:1", noProxy});
    std::fprintf(stderr, "%s", Outcome(FetchText(Url("/proxy.json"), kAgent, 15, 99, {})).c_str());
    std::exit(0);
  };
  EXPECT_EXIT(fetchThroughProxy(""), testing::ExitedWithCode(0), Curl(CURLE_COULDNT_CONNECT));
  EXPECT_EXIT(fetchThroughProxy(std::string(core::kCdnHost)), testing::ExitedWithCode(0), "^\\{\\}$");
}

// Counts the slices of a retry pause instead of sleeping them.
class CountingDownloader : public CurlDownloader {
 public:
  using CurlDownloader::CurlDownloader;
  int slices = 0;

 protected:
  void SleepSlice(std::chrono::milliseconds slice) override { slices += slice.count() == 100; }
};

TEST(CurlDownloaderWait, PausesInWholeSlicesUntilCancelled) {
  struct Row {
    int delayMs, cancelAtAsk;  // 0: never cancelled; -1: no predicate at all
    bool result;
    int slices, asks;
  };
  for (const Row& row : std::vector<Row>{{250, 0, true, 3, 4},
                                         {0, 0, true, 0, 1},
                                         {1000, 3, false, 2, 3},
                                         {0, 1, false, 0, 1},
                                         {100, -1, true, 1, 0}}) {
    SCOPED_TRACE(testing::Message() << row.delayMs << " ms, cancelled at " << row.cancelAtAsk);
    int asks = 0;
    CountingDownloader downloader(kAgent, row.cancelAtAsk < 0 ? CancelPredicate() : [&] {
      return ++asks == row.cancelAtAsk;
    });
    EXPECT_EQ(downloader.WaitBeforeRetry(std::chrono::milliseconds(row.delayMs)), row.result);
    EXPECT_EQ(downloader.slices, row.slices);
    EXPECT_EQ(asks, row.asks);
  }
}

}  // namespace
}  // namespace emberdale::posix
