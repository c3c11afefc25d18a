#include "posix/curl_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <format>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "core/output_file.h"
#include "core/paths.h"
#include "core/trailing_sha256.h"

namespace emberdale::posix {
namespace {

// Redirects followed before a transfer fails.
constexpr long kMaxRedirects = 10;
// The most a text fetch may spend on connecting, whatever its overall time limit.
constexpr std::int64_t kMaxTextConnectTimeout = 10;
// libcurl's receive buffer for downloads: larger than its default, so that big files arrive in
// fewer, larger writes, and the progress function (called once per receive loop) runs less often.
constexpr long kDownloadBufferSize = 256L * 1024;
// One slice of a retry pause; cancellation is noticed between slices.
constexpr std::chrono::milliseconds kRetrySlice{100};
// The only scheme allowed, also after a redirect.
constexpr const char* kAllowedProtocols = "https";

std::optional<ProxyConfig> g_proxy;

struct CurlDeleter {
  void operator()(CURL* handle) const {
    if (handle != nullptr) curl_easy_cleanup(handle);
  }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;

struct TransferState {
  const CancelPredicate* cancel = nullptr;
  const core::ProgressCallback* progress = nullptr;
  core::OutputFile* file = nullptr;
  core::TrailingSha256* digest = nullptr;  // of what is written to `file`
  std::uint64_t written = 0;
  std::string* body = nullptr;
  std::size_t maxBytes = 0;
  bool tooLarge = false;
  bool writeFailed = false;
};

std::size_t OnData(char* data, std::size_t size, std::size_t count, void* user) {
  auto& state = *static_cast<TransferState*>(user);
  const std::size_t n = size * count;
  if (state.file == nullptr) {
    if (n > state.maxBytes - state.body->size()) {
      state.tooLarge = true;
      return 0;
    }
    state.body->append(data, n);
    return n;
  }
  if (!state.file->Write(std::string_view(data, n))) {
    state.writeFailed = true;
    return 0;
  }
  state.written += n;
  state.digest->Written(state.written);
  return n;
}

int OnProgress(void* user, curl_off_t total, curl_off_t received, curl_off_t, curl_off_t) {
  const auto& state = *static_cast<TransferState*>(user);
  if (state.cancel != nullptr && *state.cancel && (*state.cancel)()) return 1;
  if (state.progress != nullptr && received >= 1 && *state.progress) {
    (*state.progress)(static_cast<std::uint64_t>(received),
                      static_cast<std::uint64_t>(std::max<curl_off_t>(total, 0)));
  }
  return 0;
}

// A handle with the options every transfer shares; null when libcurl cannot make one.
CurlHandle NewHandle(const std::string& url, const std::string& userAgent, TransferState& state) {
  CurlHandle handle(curl_easy_init());
  if (!handle) return handle;
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str());
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnData);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &state);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, &state);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  if (g_proxy) {
    curl_easy_setopt(h, CURLOPT_PROXY, g_proxy->url.c_str());
    if (!g_proxy->noProxy.empty()) {
      curl_easy_setopt(h, CURLOPT_NOPROXY, g_proxy->noProxy.c_str());
    }
  }
  return handle;
}

long ResponseCode(CURL* handle) {
  long code = 0;
  curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

// Whether the engine may try the same source again after a failure.
enum class Retry { No, Yes };

Retry RetryForStatus(long code) {
  return (code == 0 || code == 408 || code == 429 || code >= 500) ? Retry::Yes : Retry::No;
}

core::DownloadError Failed(std::string message, Retry retry) {
  return core::DownloadError{std::move(message), retry == Retry::Yes};
}

}  // namespace

void InitCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

void SetProxy(ProxyConfig config) {
  g_proxy = std::move(config);
}

std::expected<std::string, std::string> FetchText(const std::string& url,
                                                  const std::string& userAgent,
                                                  std::int64_t timeout, std::size_t maxBytes,
                                                  const CancelPredicate& cancel) {
  InitCurl();
  std::string body;
  TransferState state{.cancel = &cancel, .body = &body, .maxBytes = maxBytes};
  CurlHandle handle = NewHandle(url, userAgent, state);
  if (!handle) return std::unexpected("curl_easy_init failed");
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, static_cast<long>(timeout));
  curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT,
                   static_cast<long>(std::min(timeout, kMaxTextConnectTimeout)));

  const CURLcode result = curl_easy_perform(handle.get());
  if (result != CURLE_OK) {
    if (state.tooLarge)
      return std::unexpected(std::format("response larger than {} bytes", maxBytes));
    return std::unexpected(curl_easy_strerror(result));
  }
  const long code = ResponseCode(handle.get());
  if (code != 200) return std::unexpected(std::format("HTTP {}", code));
  return body;
}

CurlDownloader::CurlDownloader(std::string userAgent, CancelPredicate cancel)
    : userAgent(std::move(userAgent)), cancel(std::move(cancel)) {
  InitCurl();
}

std::expected<std::string, core::DownloadError> CurlDownloader::DownloadOnce(
    const std::string& url, const std::filesystem::path& destination,
    const core::DownloadPolicy& policy, const core::ProgressCallback& progress) {
  // Declared before the handle, so the handle is released first and the file closed after it.
  core::OutputFile file;
  if (!file.Create(core::ExtendedLengthPath(destination))) {
    return std::unexpected(Failed("can't create " + destination.native(), Retry::No));
  }
  auto digest = core::TrailingSha256::Start(destination);
  if (!digest) return std::unexpected(Failed(digest.error(), Retry::No));

  TransferState state{
      .cancel = &cancel, .progress = &progress, .file = &file, .digest = digest->get()};
  CurlHandle handle = NewHandle(url, userAgent, state);
  if (!handle) return std::unexpected(Failed("curl_easy_init failed", Retry::Yes));
  CURL* h = handle.get();
  curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kDownloadBufferSize);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(policy.connectTimeout));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT,
                   static_cast<long>(std::max<std::int64_t>(policy.lowSpeedLimit, 1)));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(policy.lowSpeedTime));

  const CURLcode result = curl_easy_perform(h);
  const long code = ResponseCode(h);
  if (result == CURLE_ABORTED_BY_CALLBACK) return std::unexpected(Failed("cancelled", Retry::No));
  if (state.writeFailed) {
    return std::unexpected(Failed("can't write " + destination.native(), Retry::No));
  }
  if (result == CURLE_OPERATION_TIMEDOUT) {
    return std::unexpected(Failed("too slow or stalled", Retry::Yes));
  }
  if (result != CURLE_OK) return std::unexpected(Failed(curl_easy_strerror(result), Retry::Yes));
  if (code != 200)
    return std::unexpected(Failed(std::format("HTTP {}", code), RetryForStatus(code)));
  if (!file.Close()) {
    return std::unexpected(Failed("can't write " + destination.native(), Retry::No));
  }
  auto hex = (*digest)->Finish(state.written);
  if (!hex) return std::unexpected(Failed(hex.error(), Retry::No));
  return *hex;
}

bool CurlDownloader::WaitBeforeRetry(std::chrono::milliseconds delay) {
  for (std::chrono::milliseconds elapsed{0}; elapsed < delay; elapsed += kRetrySlice) {
    if (Cancelled()) return false;
    SleepSlice(kRetrySlice);
  }
  return !Cancelled();
}

bool CurlDownloader::Cancelled() const {
  return cancel && cancel();
}

void CurlDownloader::SleepSlice(std::chrono::milliseconds slice) {
  std::this_thread::sleep_for(slice);
}

}  // namespace emberdale::posix
