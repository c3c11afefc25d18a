// ctest-labels: slow;root
// The libcurl client against the real HTTPS test server on loopback, verification on. The test
// process trusts the test CA through a private mount namespace (root), so the client runs exactly
// as shipped: it sets no CA option.
#include "posix/curl_client.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/content_server.h"
#include "tests/support/temp_dir.h"

namespace emberdale::posix {
namespace {

namespace fs = std::filesystem;
using core::DownloadPolicy;
using test::ContentServer;
using test::TempDir;

constexpr const char* kUserAgent = "Emberdale-Updater/1.0.0 (macOS)";
// Gives up after one second below 1000 bytes per second: quick to trip in a test.
constexpr DownloadPolicy kQuickStallPolicy{
    .attempts = 1, .connectTimeout = 10, .lowSpeedLimit = 1000, .lowSpeedTime = 1};
constexpr DownloadPolicy kRelaxedPolicy{
    .attempts = 1, .connectTimeout = 10, .lowSpeedLimit = 1, .lowSpeedTime = 30};

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return data;
}

std::string CurlText(CURLcode code) {
  return curl_easy_strerror(code);
}

struct ProgressCall {
  std::uint64_t received;
  std::uint64_t total;
};

class CurlClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto certificates = test::SharedTestCertificates();
    ASSERT_TRUE(certificates) << certificates.error();
    certs = *certificates;
    if (auto trusted = test::TrustOnlyTestCa(certs.CaBundle()); !trusted) {
      GTEST_SKIP() << "needs root for a mount namespace trusting the test CA: " << trusted.error();
    }
    server = StartServer(certs.ServerCert(), certs.ServerKey(), "server");
  }

  std::unique_ptr<ContentServer> StartServer(const fs::path& cert, const fs::path& key,
                                             const std::string& name) {
    auto started =
        ContentServer::Start({.root = root(), .cert = cert, .key = key, .workDir = dir / name});
    EXPECT_TRUE(started) << started.error();
    return started ? std::move(*started) : nullptr;
  }

  fs::path root() const { return dir / "root"; }
  void Serve(const std::string& name, const std::string& content) {
    test::WriteFile(root() / name, content);
  }

  std::expected<std::string, std::string> Fetch(const std::string& path,
                                                std::size_t maxBytes = 1 << 20) {
    return FetchText(server->Url(path), kUserAgent, 15, maxBytes, {});
  }

  std::expected<void, core::DownloadError> Download(const std::string& path,
                                                    const DownloadPolicy& policy = kRelaxedPolicy) {
    return downloader.DownloadOnce(server->Url(path), destination(), policy,
                                   [this](std::uint64_t received, std::uint64_t total) {
                                     progress.push_back({received, total});
                                   });
  }

  fs::path destination() const { return dir / "download.bin"; }

  TempDir dir;
  test::TestCertificates certs;
  std::unique_ptr<ContentServer> server;
  CurlDownloader downloader{kUserAgent, {}};
  std::vector<ProgressCall> progress;
};

// ---- FetchText ----

TEST_F(CurlClientTest, FetchTextReturnsABodyOfExactlyTheCapAndRefusesOneByteMore) {
  Serve("manifest.json", Pattern(2048));
  EXPECT_EQ(Fetch("/manifest.json", 2048), Pattern(2048));
  EXPECT_EQ(Fetch("/manifest.json", 2047),
            std::unexpected(std::string("response larger than 2047 bytes")));
}

TEST_F(CurlClientTest, FetchTextSendsTheUserAgentAndQueryAndDecodesGzip) {
  Serve("launcher/launcher-manifest.json", "{\"mac\": {}}");
  server->SetRule("/launcher/launcher-manifest.json", {{"gzip", true}});
  EXPECT_EQ(Fetch("/launcher/launcher-manifest.json?t=1700000000"), "{\"mac\": {}}");

  const auto requests = server->RequestsFor("/launcher/launcher-manifest.json");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].query, "t=1700000000");
  EXPECT_EQ(requests[0].Header("User-Agent"), kUserAgent);
  EXPECT_NE(requests[0].Header("Accept-Encoding").find("gzip"), std::string::npos);
}

TEST_F(CurlClientTest, FetchTextTreatsEveryStatusButTwoHundredAsAnError) {
  server->SetRule("/missing", {{"status", 404}});
  server->SetRule("/empty", {{"status", 204}});
  server->SetRule("/busy", {{"status", 503}});
  EXPECT_EQ(Fetch("/missing"), std::unexpected(std::string("HTTP 404")));
  EXPECT_EQ(Fetch("/empty"), std::unexpected(std::string("HTTP 204")));
  EXPECT_EQ(Fetch("/busy"), std::unexpected(std::string("HTTP 503")));
}

TEST_F(CurlClientTest, FetchTextEndsAtItsTimeLimit) {
  Serve("slow.json", "{}");
  server->SetRule("/slow.json", {{"delay_ms", 5000}});
  EXPECT_EQ(FetchText(server->Url("/slow.json"), kUserAgent, 1, 1024, {}),
            std::unexpected(CurlText(CURLE_OPERATION_TIMEDOUT)));
}

TEST_F(CurlClientTest, FetchTextStopsWhenCancelledWithLibcurlsText) {
  Serve("manifest.json", "{}");
  int asked = 0;
  const CancelPredicate cancel = [&asked] { return ++asked > 0; };
  EXPECT_EQ(FetchText(server->Url("/manifest.json"), kUserAgent, 15, 1024, cancel),
            std::unexpected(CurlText(CURLE_ABORTED_BY_CALLBACK)));
  EXPECT_GE(asked, 1);
}

TEST_F(CurlClientTest, FetchTextFollowsHttpsRedirectsOnly) {
  Serve("new.json", "moved");
  server->SetRule("/old.json", {{"redirect", server->Url("/new.json", "localhost")}});
  server->SetRule(
      "/plain.json",
      {{"redirect", "http://127.0.0.1:" + std::to_string(server->port()) + "/new.json"}});
  EXPECT_EQ(Fetch("/old.json"), "moved");
  EXPECT_EQ(Fetch("/plain.json"), std::unexpected(CurlText(CURLE_UNSUPPORTED_PROTOCOL)));
  EXPECT_EQ(server->RequestsFor("/new.json").size(), 1u);
}

// A proxy applies to transfers started after SetProxy, except for the hosts of noProxy. The
// setting cannot be cleared, so each case runs in a child process.
TEST_F(CurlClientTest, ProxySettingRoutesLaterTransfers) {
  Serve("manifest.json", "{}");
  const int closedPort = [] {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return static_cast<int>(ntohs(address.sin_port));
  }();
  const std::string proxy = "http://127.0.0.1:" + std::to_string(closedPort);
  const std::string url = server->Url("/manifest.json");
  auto fetchWithProxy = [&](const std::string& noProxy) {
    SetProxy({proxy, noProxy});
    const auto result = FetchText(url, kUserAgent, 15, 1024, {});
    fprintf(stderr, "result: %s\n", result ? result->c_str() : result.error().c_str());
    _exit(result ? 0 : 1);
  };
  EXPECT_EXIT(fetchWithProxy(""), testing::ExitedWithCode(1),
              "result: " + CurlText(CURLE_COULDNT_CONNECT));
  EXPECT_EXIT(fetchWithProxy("127.0.0.1"), testing::ExitedWithCode(0), "result: \\{\\}");
  EXPECT_EQ(Fetch("/manifest.json"), "{}");  // this process never set a proxy
}

// ---- Certificates: verification is always on ----

TEST_F(CurlClientTest, RefusesACertificateFromAnUnknownCaAndOneForAnotherHost) {
  Serve("manifest.json", "{}");
  ASSERT_EQ(Fetch("/manifest.json"), "{}");  // the trusted certificate works

  for (const auto& [cert, key, name] :
       {std::tuple{certs.UntrustedCert(), certs.UntrustedKey(), "untrusted"},
        std::tuple{certs.WrongHostCert(), certs.WrongHostKey(), "wrong-host"}}) {
    SCOPED_TRACE(name);
    auto other = StartServer(cert, key, name);
    ASSERT_TRUE(other);
    EXPECT_EQ(FetchText(other->Url("/manifest.json"), kUserAgent, 15, 1024, {}),
              std::unexpected(CurlText(CURLE_PEER_FAILED_VERIFICATION)));
    const auto result =
        downloader.DownloadOnce(other->Url("/manifest.json"), destination(), kRelaxedPolicy, {});
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, CurlText(CURLE_PEER_FAILED_VERIFICATION));
    EXPECT_TRUE(result.error().retryable);
    EXPECT_TRUE(other->Requests().empty());
  }
}

// ---- DownloadOnce ----

TEST_F(CurlClientTest, DownloadReplacesTheFileAndReportsProgressAfterTheFirstByte) {
  const std::string content = Pattern(3 << 20);
  Serve("package.zip", content);
  test::WriteFile(destination(), Pattern(5 << 20));  // an older, longer file is truncated

  ASSERT_TRUE(Download("/package.zip?t=5"));
  EXPECT_EQ(test::ReadFile(destination()), content);
  ASSERT_FALSE(progress.empty());
  std::uint64_t last = 0;
  for (const auto& call : progress) {
    EXPECT_GE(call.received, 1u);
    EXPECT_GE(call.received, last);
    EXPECT_EQ(call.total, content.size());
    last = call.received;
  }
  EXPECT_EQ(last, content.size());

  const auto requests = server->RequestsFor("/package.zip");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].Header("User-Agent"), kUserAgent);
  EXPECT_EQ(requests[0].query, "t=5");
}

TEST_F(CurlClientTest, DownloadWithoutALengthReportsATotalOfZero) {
  const std::string content = Pattern(1 << 20);
  Serve("chunked.bin", content);
  server->SetRule("/chunked.bin", {{"chunked", true}});

  ASSERT_TRUE(Download("/chunked.bin"));
  EXPECT_EQ(test::ReadFile(destination()), content);
  ASSERT_FALSE(progress.empty());
  for (const auto& call : progress) {
    EXPECT_GE(call.received, 1u);
    EXPECT_EQ(call.total, 0u);
  }
  EXPECT_EQ(progress.back().received, content.size());
}

TEST_F(CurlClientTest, DownloadClassifiesHttpStatuses) {
  const std::vector<std::pair<int, bool>> cases{
      {404, false}, {403, false}, {204, false}, {408, true}, {429, true}, {500, true}, {503, true}};
  for (const auto& [status, retryable] : cases) {
    SCOPED_TRACE(status);
    const std::string path = "/status-" + std::to_string(status);
    server->SetRule(path, {{"status", status}});
    const auto result = Download(path);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "HTTP " + std::to_string(status));
    EXPECT_EQ(result.error().retryable, retryable);
  }
}

TEST_F(CurlClientTest, DownloadSucceedsOnceTheServerRecovers) {
  Serve("package.zip", "payload");
  server->SetRule("/package.zip", {{"fail_times", 2}, {"fail_status", 503}});
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto result = Download("/package.zip");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "HTTP 503");
    EXPECT_TRUE(result.error().retryable);
  }
  ASSERT_TRUE(Download("/package.zip"));
  EXPECT_EQ(test::ReadFile(destination()), "payload");
  EXPECT_EQ(server->RequestsFor("/package.zip").size(), 3u);
}

TEST_F(CurlClientTest, DownloadFollowsHttpsRedirectsAndRefusesHttpAndLoops) {
  Serve("new.zip", "moved");
  server->SetRule("/old.zip", {{"redirect", server->Url("/new.zip", "localhost")}});
  server->SetRule("/plain.zip", {{"redirect", "http://127.0.0.1:" + std::to_string(server->port()) +
                                                  "/new.zip"}});
  server->SetRule("/loop.zip", {{"redirect_loop", true}});

  ASSERT_TRUE(Download("/old.zip"));
  EXPECT_EQ(test::ReadFile(destination()), "moved");

  auto result = Download("/plain.zip");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, CurlText(CURLE_UNSUPPORTED_PROTOCOL));
  EXPECT_TRUE(result.error().retryable);

  result = Download("/loop.zip");
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, CurlText(CURLE_TOO_MANY_REDIRECTS));
  EXPECT_TRUE(result.error().retryable);
  EXPECT_EQ(server->RequestsFor("/loop.zip").size(), 11u);  // the first request and 10 redirects
  EXPECT_EQ(server->RequestsFor("/new.zip").size(), 1u);
}

TEST_F(CurlClientTest, DownloadGivesUpWhenTooSlowOrStalled) {
  Serve("package.zip", Pattern(1 << 20));
  server->SetRule("/stall.zip", {{"stall_after", 4096}});
  server->SetRule("/trickle.zip", {{"trickle_rate", 200}});
  test::WriteFile(root() / "stall.zip", Pattern(1 << 20));
  test::WriteFile(root() / "trickle.zip", Pattern(1 << 20));
  // A minimum speed of 0 still means at least one byte per second: a stall ends the attempt.
  const DownloadPolicy noMinimum{
      .attempts = 1, .connectTimeout = 10, .lowSpeedLimit = 0, .lowSpeedTime = 1};

  for (const auto& [path, policy] :
       {std::pair{"/stall.zip", kQuickStallPolicy}, std::pair{"/trickle.zip", kQuickStallPolicy},
        std::pair{"/stall.zip", noMinimum}}) {
    SCOPED_TRACE(path);
    const auto result = Download(path, policy);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message, "too slow or stalled");
    EXPECT_TRUE(result.error().retryable);
  }
}

TEST_F(CurlClientTest, DownloadCutMidBodyIsRetryableAndLeavesThePart) {
  Serve("package.zip", Pattern(1 << 20));
  server->SetRule("/package.zip", {{"cut_after", 200000}});
  const auto result = Download("/package.zip");
  ASSERT_FALSE(result);
  EXPECT_TRUE(result.error().retryable);
  EXPECT_NE(result.error().message, "too slow or stalled");
  EXPECT_LT(fs::file_size(destination()), 1u << 20);
}

TEST_F(CurlClientTest, DownloadIntoAMissingFolderCannotCreateTheFile) {
  Serve("package.zip", "payload");
  const fs::path target = dir / "no-such-folder" / "package.zip";
  const auto result =
      downloader.DownloadOnce(server->Url("/package.zip"), target, kRelaxedPolicy, {});
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "can't create " + target.string());
  EXPECT_FALSE(result.error().retryable);
  EXPECT_TRUE(server->Requests().empty());
}

TEST_F(CurlClientTest, DownloadOntoAFullDiskCannotWrite) {
  Serve("package.zip", Pattern(2 << 20));
  const fs::path small = dir / "small";
  fs::create_directories(small);
  // This process has its own mount namespace (SetUp), so the mount is invisible elsewhere.
  ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k"), 0) << strerror(errno);
  const fs::path target = small / "package.zip";
  const auto result =
      downloader.DownloadOnce(server->Url("/package.zip"), target, kRelaxedPolicy, {});
  umount2(small.c_str(), MNT_DETACH);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "can't write " + target.string());
  EXPECT_FALSE(result.error().retryable);
}

TEST_F(CurlClientTest, CancellingADownloadStopsItAndLeavesThePartialFile) {
  Serve("package.zip", Pattern(4 << 20));
  server->SetRule("/package.zip", {{"stall_after", 65536}});
  std::atomic<bool> cancelRequested{false};
  CurlDownloader cancellable(kUserAgent, [&] { return cancelRequested.load(); });

  const auto result =
      cancellable.DownloadOnce(server->Url("/package.zip"), destination(), kRelaxedPolicy,
                               [&](std::uint64_t received, std::uint64_t) {
                                 if (received > 0) cancelRequested = true;
                               });
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().message, "cancelled");
  EXPECT_FALSE(result.error().retryable);
  EXPECT_TRUE(cancellable.Cancelled());
  ASSERT_TRUE(fs::exists(destination()));
  EXPECT_GT(fs::file_size(destination()), 0u);
  EXPECT_LT(fs::file_size(destination()), 4u << 20);
}

// ---- Pauses and the cancellation flag (no server needed) ----

// Counts the slices of a pause instead of sleeping them.
class CountingDownloader : public CurlDownloader {
 public:
  using CurlDownloader::CurlDownloader;
  int slices = 0;

 protected:
  void SleepSlice(std::chrono::milliseconds slice) override {
    EXPECT_EQ(slice, std::chrono::milliseconds(100));
    ++slices;
  }
};

TEST(CurlDownloaderWait, PausesInWholeSlicesAskingBeforeEachAndAtTheEnd) {
  int asked = 0;
  CountingDownloader downloader(kUserAgent, [&asked] {
    ++asked;
    return false;
  });
  EXPECT_TRUE(downloader.WaitBeforeRetry(std::chrono::milliseconds(250)));
  EXPECT_EQ(asked, 4);  // three slices and the final answer
  EXPECT_EQ(downloader.slices, 3);

  asked = 0;
  downloader.slices = 0;
  EXPECT_TRUE(downloader.WaitBeforeRetry(std::chrono::milliseconds(0)));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(downloader.slices, 0);
}

TEST(CurlDownloaderWait, StopsAtTheFirstSliceAfterCancellation) {
  int asked = 0;
  CountingDownloader downloader(kUserAgent, [&asked] { return ++asked >= 3; });
  EXPECT_FALSE(downloader.WaitBeforeRetry(std::chrono::milliseconds(1000)));
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(downloader.slices, 2);

  CountingDownloader cancelled(kUserAgent, [] { return true; });
  EXPECT_FALSE(cancelled.WaitBeforeRetry(std::chrono::milliseconds(0)));
  EXPECT_EQ(cancelled.slices, 0);
}

TEST(CurlDownloaderWait, WithoutAPredicateNothingIsCancelled) {
  CountingDownloader downloader(kUserAgent, {});
  EXPECT_FALSE(downloader.Cancelled());
  EXPECT_TRUE(downloader.WaitBeforeRetry(std::chrono::milliseconds(100)));
  EXPECT_EQ(downloader.slices, 1);
}

}  // namespace
}  // namespace emberdale::posix
