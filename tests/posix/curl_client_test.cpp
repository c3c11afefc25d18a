// ctest-labels: slow;root
// The libcurl client against demo/content_server.py, certificate verification on. ctest runs this
// inside scripts/netns_harness.sh (root): the configured host names reach the server, only the
// test CA is trusted, and the server's misbehaviour is switched per path by its control file.
#include "posix/curl_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "core/deployment.h"
#include "core/sha256.h"
#include "tests/support/sandbox.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

using nlohmann::json;
const std::string kAgent = "Emberdale-Updater/1.0.0 (macOS)";
const std::string kData = [] {              // every 64 KiB different, so chunks out of order show
  std::string data((1 << 20) + 4321, 'd');  // not a whole number of MiB
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 7919 % 26);
  return data;
}();
enum Kind { kPlain, kUnknownCa, kWrongHost, kNoFolder, kFullDisk, kCancel };

std::string Env(const char* name) {
  return std::getenv(name) ? std::getenv(name) : "";
}
std::string Url(const std::string& path, Kind kind = kPlain) {  // 127.0.0.2: the CDN host's
  return std::format("https://{}{}", kind == kWrongHost ? "127.0.0.2" : core::kCdnHost, path);
}  // address, which its certificate doesn't name
// The requests for `path` in the server's log, which it writes before it answers.
std::vector<json> Seen(const std::string& path) {
  std::vector<json> seen;
  std::ifstream log(Env("EMBERDALE_TEST_SERVER_LOG"));
  for (std::string line; std::getline(log, line);) {
    if (json request = json::parse(line); request["path"] == path) seen.push_back(request);
  }
  return seen;
}
// Serves `path` with the rule given; the requests the server saw for it before.
std::size_t Serve(const std::string& path, const json& rule) {
  test::WriteFile(Env("EMBERDALE_TEST_SERVER_ROOT") + path, kData);
  std::ofstream(Env("EMBERDALE_TEST_SERVER_CONTROL")) << json{{"rules", {{path, rule}}}}.dump();
  return Seen(path).size();
}

// Rows under /t/ fetch text (time-out: the policy's lowSpeedTime; kFullDisk: one byte less room).
TEST(CurlClientTest, TransferGivesTheDataOrClassifiesTheFailure) {
  if (Env("EMBERDALE_TEST_SERVER_ROOT").empty()) GTEST_SKIP() << "runs in netns_harness.sh";
  test::TempDir dir;
  std::filesystem::create_directory(dir / "full");  // where kFullDisk rows mount a small disk
  struct Row {
    std::string path;
    json rule;
    std::string error;  // empty: the download succeeds
    bool retryable = false;
    std::size_t requests = 1;
    Kind kind = kPlain;
    core::DownloadPolicy policy{1, 10, 1, 30};
  };
  const auto Status = [](int status) { return json{{"status", status}}; };
  const auto Curl = [](CURLcode code) { return std::string(curl_easy_strerror(code)); };
  const std::string slow = "too slow or stalled", badCert = Curl(CURLE_PEER_FAILED_VERIFICATION);
  const core::DownloadPolicy impatient{1, 10, 1000, 1}, noMinimum{1, 10, 0, 1};
  const json none = json::object(), stall = {{"stall_after", 4096}};
  const std::string tooLarge = std::format("response larger than {} bytes", kData.size() - 1);
  // clang-format off
  for (const Row& row : std::vector<Row>{
           {"/t/ok?t=1700000000", none, ""}, {"/t/204", Status(204), "HTTP 204"},
           {"/t/cap", none, tooLarge, false, 1, kFullDisk},
           {"/t/slow", {{"delay_ms", 3000}}, Curl(CURLE_OPERATION_TIMEDOUT), false, 1, kPlain,
            impatient},
           {"/t/cancel", none, Curl(CURLE_ABORTED_BY_CALLBACK), false, 0, kCancel},
           {"/d/ok", none, ""}, {"/d/chunked", {{"chunked", true}}, ""},
           {"/d/moved", {{"redirect", Url("/d/ok")}}, ""},
           {"/d/404", Status(404), "HTTP 404", false}, {"/d/204", Status(204), "HTTP 204", false},
           {"/d/408", Status(408), "HTTP 408", true}, {"/d/500", Status(500), "HTTP 500", true},
           {"/d/loop", {{"redirect_loop", true}}, Curl(CURLE_TOO_MANY_REDIRECTS), true, 11},
           {"/d/stall", stall, slow, true, 1, kPlain, impatient},
           {"/d/trickle", {{"trickle_rate", 200}}, slow, true, 1, kPlain, impatient},
           {"/d/stall-0", stall, slow, true, 1, kPlain, noMinimum},
           {"/d/ca", none, badCert, true, 0, kUnknownCa},
           {"/d/host", none, badCert, true, 0, kWrongHost},
           {"/d/folder", none, "can't create " + (dir / "no/f").native(), false, 0, kNoFolder},
           {"/d/full", none, "can't write " + (dir / "full/f").native(), false, 1, kFullDisk},
           {"/d/cancel", {{"stall_after", 65536}}, "cancelled", false, 1, kCancel}}) {
    // clang-format on
    SCOPED_TRACE(row.path);
    const bool text = row.path.starts_with("/t/");
    const std::string path = row.path.substr(0, row.path.find('?'));
    const std::size_t before = Serve(path, row.rule);
    std::unique_ptr<test::ScopedMount> mount;  // a CA that signed nothing, or a small disk
    if (row.kind == kFullDisk)
      mount = std::make_unique<test::TmpfsMount>(dir / "full", 0, "size=64k");
    if (row.kind == kUnknownCa) {
      mount = std::make_unique<test::BindMount>(
          std::filesystem::path(Env("EMBERDALE_TEST_CA")).parent_path() / "unknown-ca.pem",
          "/etc/ssl/certs/ca-certificates.crt");
    }
    if (mount) ASSERT_EQ(mount->error(), "");
    const auto file = dir / (row.kind == kNoFolder ? "no/f" : "full/f");
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;  // no predicate but for kCancel
    const CancelPredicate cancel =
        row.kind != kCancel ? CancelPredicate() : [&] { return text || !calls.empty(); };
    CurlDownloader downloader(kAgent, cancel);
    std::expected<std::string, core::DownloadError> result = core::Sha256Hex(kData);
    if (text) {
      const auto body = FetchText(Url(row.path), kAgent, row.policy.lowSpeedTime,
                                  kData.size() - (row.kind == kFullDisk), cancel);
      if (body) test::WriteFile(file, *body);
      if (!body) result = std::unexpected(core::DownloadError{body.error(), false});
    } else {
      result = downloader.DownloadOnce(Url(row.path, row.kind), file, row.policy,
                                       [&](auto got, auto all) { calls.emplace_back(got, all); });
    }
    EXPECT_EQ(Seen(path).size() - before, row.requests);
    EXPECT_EQ(result ? "" : result.error().message, row.error);
    EXPECT_EQ(result || result.error().retryable, result || row.retryable);
    if (!result) continue;
    EXPECT_EQ(test::ReadFile(file), kData);
    EXPECT_EQ(*result, core::Sha256Hex(kData));  // of the bytes as they arrived
    if (text) continue;
    EXPECT_TRUE(!calls.empty() && calls[0].first >= 1 && std::ranges::is_sorted(calls));
    EXPECT_EQ(calls.back(),
              std::pair(kData.size(), row.rule.contains("chunked") ? 0 : kData.size()));
  }
  EXPECT_EQ(Seen("/t/ok").at(0)["query"], "t=1700000000");
  EXPECT_EQ(Seen("/t/ok").at(0)["headers"]["User-Agent"], kAgent);
}

// Counts the slices of a retry pause instead of sleeping them.
struct CountingDownloader : CurlDownloader {
  using CurlDownloader::CurlDownloader;
  void SleepSlice(std::chrono::milliseconds slice) override { slices += slice.count() == 100; }
  int slices = 0;
};

TEST(CurlDownloaderWait, PausesInWholeSlicesAskingBeforeEach) {
  // delay in ms, cancelled at the nth question (0: never), result, slices
  for (const auto [delay, cancelAt, result, slices] : std::vector<std::tuple<int, int, bool, int>>{
           {250, 0, true, 3}, {0, 0, true, 0}, {1000, 3, false, 2}, {300, 4, false, 3}}) {
    int asks = 0;
    CountingDownloader downloader(kAgent, [&] { return ++asks == cancelAt; });
    EXPECT_EQ(downloader.WaitBeforeRetry(std::chrono::milliseconds(delay)), result) << delay;
    EXPECT_EQ(downloader.slices, slices) << delay;
  }
}

}  // namespace
}  // namespace emberdale::posix
