// Fetches each URL with FetchText as the desktop host fetches the manifest (its user agent, time
// limit and size cap) and prints each body to standard output. With no URL it fetches the
// manifest URL of the configured CDN host. On the first failure it prints "error: " and the
// message to standard error and exits with 1.
#include <cstdio>
#include <format>
#include <string>
#include <vector>

#include "core/deployment.h"
#include "posix/curl_client.h"

namespace {

constexpr std::int64_t kManifestTimeout = 15;         // seconds
constexpr std::size_t kManifestMaxBytes = 5'242'880;  // 5 MiB

}  // namespace

int main(int argc, char** argv) {
  using emberdale::core::kCdnHost;
  using emberdale::core::kUpdaterVersion;
  std::vector<std::string> urls(argv + 1, argv + argc);
  if (urls.empty())
    urls.push_back(std::format("https://{}/launcher/launcher-manifest.json", kCdnHost));
  const std::string userAgent = std::format("Emberdale-Updater/{} (macOS)", kUpdaterVersion);

  emberdale::posix::InitCurl();
  for (const auto& url : urls) {
    const auto body =
        emberdale::posix::FetchText(url, userAgent, kManifestTimeout, kManifestMaxBytes, {});
    if (!body) {
      std::fprintf(stderr, "error: %s\n", body.error().c_str());
      return 1;
    }
    std::fwrite(body->data(), 1, body->size(), stdout);
  }
  return 0;
}
