// ctest-labels: slow;root
// The libcurl client against demo/content_server.py, certificate verification on. ctest runs this
// inside scripts/netns_harness.sh (root): the configured host names reach the server, only the
// test CA is trusted, and the server's misbehaviour is switched per path by its control file.
#include "posix/curl_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kAgent = "Emberdale-Updater/1.0.0 (macOS)";
const std::string kData(1 << 20, 'd');
std::string Env(const char* name) {
  return std::getenv(name) ? std::getenv(name) : "";
}
std::string Curl(CURLcode code) {
  return curl_easy_strerror(code);
}
enum Kind { kPlain, kUnknownCa, kWrongHost, kNoFolder, kFullDisk, kCancel };

class CurlClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Env("EMBERDALE_TEST_SERVER_ROOT").empty())
      GTEST_SKIP() << "runs in netns_harness.sh (root)";
    ASSERT_EQ(test::EnterPrivateMountNamespace(), "");  // for the mounts of single rows
  }
  // Serves `path` and sets the rules of every path.
  void Serve(const std::string& path, const json& rules) {
    test::WriteFile(Env("EMBERDALE_TEST_SERVER_ROOT") + path, kData);
    std::ofstream(Env("EMBERDALE_TEST_SERVER_CONTROL")) << json{{"rules", rules}}.dump();
  }
  std::string Url(const std::string& path, Kind kind = kPlain) {  // 127.0.0.2: the CDN host's
    return (kind == kWrongHost ? "https://127.0.0.2" : std::format("https://{}", core::kCdnHost)) +
           path;  // address, which its certificate doesn't name
  }
  std::vector<json> Seen(const std::string& path) {  // logged before the server answers
    std::vector<json> seen;
    std::ifstream log(Env("EMBERDALE_TEST_SERVER_LOG"));
    for (std::string line; std::getline(log, line);) {
      if (json request = json::parse(line); request["path"] == path) seen.push_back(request);
    }
    return seen;
  }
  // A row's mount: the system bundle swapped for a CA that signed nothing, or a small disk.
  std::unique_ptr<test::ScopedMount> MountFor(Kind kind) {
    if (kind == kFullDisk) return std::make_unique<test::TmpfsMount>(dir / "full", 0, "size=64k");
    if (kind != kUnknownCa) return nullptr;
    return std::make_unique<test::BindMount>(
        fs::path(Env("EMBERDALE_TEST_CA")).parent_path() / "unknown-ca.pem",
        "/etc/ssl/certs/ca-certificates.crt");
  }
  test::TempDir dir;
};

TEST_F(CurlClientTest, FetchTextGivesTheBodyOfA200OrWhyNot) {
  struct Row {
    std::string path, outcome;
    json rule = json::object();
    std::size_t cap = kData.size();
    std::int64_t timeout = 15;
  };
  const std::vector<Row> rows{
      {"/t/ok.json?t=1700000000", kData},
      {"/t/cap.json", "response larger than 1048575 bytes", {}, kData.size() - 1},
      {"/t/gzip.json", kData, {{"gzip", true}}},
      {"/t/404", "HTTP 404", {{"status", 404}}},
      {"/t/204", "HTTP 204", {{"status", 204}}},
      {"/t/slow", Curl(CURLE_OPERATION_TIMEDOUT), {{"delay_ms", 3000}}, kData.size(), 1},
      {"/t/cancel", Curl(CURLE_ABORTED_BY_CALLBACK)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const std::string path = row.path.substr(0, row.path.find('?'));
    Serve(path, {{path, row.rule}});
    const CancelPredicate cancel = [&] { return path == "/t/cancel"; };
    const auto text = FetchText(Url(row.path), kAgent, row.timeout, row.cap, cancel);
    EXPECT_EQ(text ? *text : text.error(), row.outcome);
  }
  const json ok = Seen("/t/ok.json").at(0);
  EXPECT_EQ(ok["query"], "t=1700000000");
  EXPECT_EQ(ok["headers"]["User-Agent"], kAgent);
  EXPECT_NE(Seen("/t/gzip.json").at(0)["headers"].dump().find("gzip"), std::string::npos);
}

TEST_F(CurlClientTest, DownloadWritesTheFileOrClassifiesTheFailure) {
  struct Row {
    std::string path;
    json rule;
    std::string error;  // empty: the download succeeds
    bool retryable = false;
    std::size_t requests = 1;
    Kind kind = kPlain;
    core::DownloadPolicy policy{1, 10, 1, 30};
  };
  const std::string slow = "too slow or stalled",
                    badCertificate = Curl(CURLE_PEER_FAILED_VERIFICATION);
  const core::DownloadPolicy impatient{1, 10, 1000, 1}, noMinimum{1, 10, 0, 1};
  for (const Row& row : std::vector<Row>{
           {"/d/ok", json::object(), ""},
           {"/d/chunked", {{"chunked", true}}, ""},
           {"/d/moved", {{"redirect", Url("/d/ok")}}, ""},
           {"/d/404", {{"status", 404}}, "HTTP 404", false},
           {"/d/204", {{"status", 204}}, "HTTP 204", false},
           {"/d/408", {{"status", 408}}, "HTTP 408", true},
           {"/d/429", {{"status", 429}}, "HTTP 429", true},
           {"/d/500", {{"status", 500}}, "HTTP 500", true},
           {"/d/http",
            {{"redirect", "http" + Url("/d/ok").substr(5)}},
            Curl(CURLE_UNSUPPORTED_PROTOCOL),
            true},
           {"/d/loop", {{"redirect_loop", true}}, Curl(CURLE_TOO_MANY_REDIRECTS), true, 11},
           {"/d/stall", {{"stall_after", 4096}}, slow, true, 1, kPlain, impatient},
           {"/d/trickle", {{"trickle_rate", 200}}, slow, true, 1, kPlain, impatient},
           {"/d/stall-0", {{"stall_after", 4096}}, slow, true, 1, kPlain, noMinimum},
           {"/d/cut", {{"cut_after", 200000}}, Curl(CURLE_RECV_ERROR), true},
           {"/d/ca", json::object(), badCertificate, true, 0, kUnknownCa},
           {"/d/host", json::object(), badCertificate, true, 0, kWrongHost},
           {"/d/folder", json::object(), "can't create " + (dir / "no" / "f").native(), false, 0,
            kNoFolder},
           {"/d/full", json::object(), "can't write " + (dir / "full" / "f").native(), false, 1,
            kFullDisk},
           {"/d/cancel", {{"stall_after", 65536}}, "cancelled", false, 1, kCancel},
       }) {
    SCOPED_TRACE(row.path);
    Serve(row.path, {{row.path, row.rule}});
    const auto mount = MountFor(row.kind);
    if (mount) ASSERT_EQ(mount->error(), "");
    const fs::path file = dir /
                          (row.kind == kNoFolder   ? "no"
                           : row.kind == kFullDisk ? "full"
                                                   : ".") /
                          "f";
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    CurlDownloader downloader(kAgent, [&] { return row.kind == kCancel && !calls.empty(); });
    const auto result =
        downloader.DownloadOnce(Url(row.path, row.kind), file, row.policy,
                                [&](auto got, auto total) { calls.emplace_back(got, total); });
    EXPECT_EQ(Seen(row.path).size(), row.requests);
    EXPECT_EQ(result ? "" : result.error().message, row.error);
    if (!result) EXPECT_EQ(result.error().retryable, row.retryable);
    if (!result || calls.empty()) continue;
    EXPECT_EQ(test::ReadFile(file), kData);
    EXPECT_GE(calls[0].first, 1u);
    EXPECT_TRUE(std::ranges::is_sorted(calls));
    EXPECT_EQ(calls.back(), decltype(calls)::value_type(
                                kData.size(), row.rule.contains("chunked") ? 0 : kData.size()));
  }
}

// Counts the slices of a retry pause instead of sleeping them.
struct CountingDownloader : CurlDownloader {
  using CurlDownloader::CurlDownloader;
  void SleepSlice(std::chrono::milliseconds slice) override { slices += slice.count() == 100; }
  int slices = 0;
};

TEST(CurlDownloaderWait, PausesInWholeSlicesUntilCancelled) {
  // delay in ms, cancelled at the nth question (0: never, -1: no predicate), result, slices,
  // questions
  for (const auto [delay, cancelAt, result, slices, asked] :
       std::vector<std::tuple<int, int, bool, int, int>>{{250, 0, true, 3, 4},
                                                         {0, 0, true, 0, 1},
                                                         {1000, 3, false, 2, 3},
                                                         {0, 1, false, 0, 1},
                                                         {100, -1, true, 1, 0}}) {
    SCOPED_TRACE(testing::Message() << delay << " ms, cancelled at " << cancelAt);
    int asks = 0;
    CountingDownloader downloader(
        kAgent, cancelAt < 0 ? CancelPredicate() : [&] { return ++asks == cancelAt; });
    EXPECT_EQ(downloader.WaitBeforeRetry(std::chrono::milliseconds(delay)), result);
    EXPECT_EQ(downloader.slices, slices);
    EXPECT_EQ(asks, asked);
  }
}

}  // namespace
}  // namespace emberdale::posix
