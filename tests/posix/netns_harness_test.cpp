// ctest-labels: slow;root
// The namespace harness (scripts/netns_harness.sh): inside it the configured host names reach the
// real HTTPS test server and only the test CA is trusted, so FetchText works unchanged against
// "https://<CDN host>/launcher/launcher-manifest.json", and nothing is left behind afterwards.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <format>
#include <string>
#include <vector>

#include "core/deployment.h"
#include "posix/process.h"
#include "tests/support/content_server.h"
#include "tests/support/temp_dir.h"

namespace emberdale::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kManifest = R"({"mac": {"launcher": {"version": "1.2.3"}}})";

std::string Probe() {
  return (fs::path(EMBERDALE_TEST_HELPERS_DIR) / "fetch_text_probe").string();
}

// What the harness runs the command with: the build folder, the served folder, its work folder.
std::vector<std::string> Harness(const fs::path& serve, const fs::path& work) {
  return {"bash",        (fs::path(EMBERDALE_SOURCE_DIR) / "scripts" / "netns_harness.sh").string(),
          "--build-dir", EMBERDALE_BINARY_DIR,
          "--serve",     serve.string(),
          "--work",      work.string(),
          "--"};
}

// Whether a process still runs with `text` in its command line.
bool ProcessMentions(const std::string& text) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string cmdline = ReadFile(entry.path() / "cmdline");
    if (cmdline.find(text) != std::string::npos) return true;
  }
  return false;
}

class NetnsHarnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the namespace harness needs root";
    if (std::system("unshare --mount --net true >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "unshare --mount --net is not available here";
    }
    WriteFile(dir / "serve" / "launcher" / "launcher-manifest.json", kManifest);
  }

  posix::RunResult RunInHarness(const std::vector<std::string>& command) {
    auto argv = Harness(dir / "serve", dir / "work");
    argv.insert(argv.end(), command.begin(), command.end());
    posix::RunOptions options;
    options.captureOutput = true;
    auto result = posix::Run(argv, options);
    EXPECT_TRUE(result) << result.error();
    return result ? *result : posix::RunResult{-1, {}};
  }

  TempDir dir;
};

TEST_F(NetnsHarnessTest, FetchTextReachesTheConfiguredHostsWithVerificationOn) {
  const std::string hostsBefore = ReadFile("/etc/hosts");
  const std::string sourceUrl =
      std::format("https://{}/launcher/launcher-manifest.json", core::kSourceHost);
  const std::string vendorUrl =
      std::format("https://{}/launcher/launcher-manifest.json", core::kRuntimeVendorHost);

  // With no URL the probe fetches the manifest URL of the CDN host built into the product.
  const auto cdn = RunInHarness({Probe()});
  EXPECT_EQ(cdn.exitCode, 0);
  EXPECT_EQ(cdn.output, kManifest);
  const auto vendors = RunInHarness({Probe(), sourceUrl, vendorUrl});
  EXPECT_EQ(vendors.exitCode, 0);
  EXPECT_EQ(vendors.output, std::string(kManifest) + kManifest);

  std::vector<std::string> hosts;
  for (const auto& request : ReadRequestLog(dir / "work" / "requests.log")) {
    EXPECT_EQ(request.path, "/launcher/launcher-manifest.json");
    EXPECT_EQ(request.Header("User-Agent"), "Emberdale-Updater/1.0.0 (macOS)");
    hosts.push_back(request.Header("Host"));
  }
  EXPECT_EQ(hosts,
            (std::vector<std::string>{std::string(core::kCdnHost), std::string(core::kSourceHost),
                                      std::string(core::kRuntimeVendorHost)}));

  // Afterwards the machine's own files are as they were and the server is gone.
  EXPECT_EQ(ReadFile("/etc/hosts"), hostsBefore);
  EXPECT_FALSE(ProcessMentions((dir / "work").string()));
}

TEST_F(NetnsHarnessTest, OnlyTheConfiguredHostsResolveAndTheServerObeysItsControlFile) {
  // Another name does not resolve: the namespace has no way out.
  const auto unknown = RunInHarness({Probe(), "https://unknown-host.example/launcher/x"});
  EXPECT_EQ(unknown.exitCode, 1);

  // The command may steer the server through the control file the harness names.
  const std::string script = std::format(
      R"(echo '{{"rules": {{"/launcher/launcher-manifest.json": {{"status": 503}}}}}}' )"
      R"(> "$EMBERDALE_TEST_SERVER_CONTROL" && exec {})",
      Probe());
  const auto failing = RunInHarness({"sh", "-c", script});
  EXPECT_EQ(failing.exitCode, 1);
  EXPECT_EQ(ReadRequestLog(dir / "work" / "requests.log").size(), 1u);
}

TEST_F(NetnsHarnessTest, PassesTheCommandsExitStatusOn) {
  EXPECT_EQ(RunInHarness({"sh", "-c", "exit 7"}).exitCode, 7);
}

}  // namespace
}  // namespace emberdale::test
