#include "tests/support/fake_downloader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <format>
#include <fstream>
#include <utility>

namespace emberdale::test {
namespace {

void WriteBytes(const std::filesystem::path& destination, const std::string& bytes) {
  std::ofstream out(destination, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

std::string ShowPolicy(const core::DownloadPolicy& policy) {
  return std::format("{}/{}/{}/{}", policy.attempts, policy.connectTimeout, policy.lowSpeedLimit,
                     policy.lowSpeedTime);
}

FakeDownloader::FakeDownloader(CallRecord& record, std::filesystem::path shownBase)
    : record_(record), shownBase_(std::move(shownBase)) {}

void FakeDownloader::Script(const std::string& url, std::vector<DownloadAttempt> attempts) {
  scripts_[url] = std::move(attempts);
  attemptsMade_[url] = 0;
}

void FakeDownloader::CancelAt(std::string call, int occurrence) {
  record_.OnCall(std::move(call), occurrence, [this] { cancelled_ = true; });
}

std::string FakeDownloader::Shown(const std::filesystem::path& path) const {
  if (!shownBase_.empty()) {
    const std::filesystem::path relative = path.lexically_relative(shownBase_);
    if (!relative.empty() && *relative.begin() != "..") return relative.string();
  }
  return path.string();
}

std::expected<void, core::DownloadError> FakeDownloader::DownloadOnce(
    const std::string& url, const std::filesystem::path& destination,
    const core::DownloadPolicy& policy, const core::ProgressCallback& progress) {
  record_.Add(std::format("DownloadOnce({},{},{})", url, Shown(destination), ShowPolicy(policy)));
  if (cancelled_) {
    WriteBytes(destination, "partial");
    return std::unexpected(core::DownloadError{"cancelled", false});
  }
  const auto script = scripts_.find(url);
  if (script == scripts_.end() || script->second.empty()) {
    ADD_FAILURE() << "unexpected download of " << url;
    return std::unexpected(core::DownloadError{"no script for " + url, false});
  }
  std::size_t& made = attemptsMade_[url];
  const DownloadAttempt& attempt = script->second[std::min(made, script->second.size() - 1)];
  ++made;
  if (!attempt.bytes.empty() || !attempt.error) {
    WriteBytes(destination, attempt.bytes);
    if (progress) progress(attempt.bytes.size(), attempt.bytes.size());
  }
  if (attempt.error) return std::unexpected(*attempt.error);
  return {};
}

bool FakeDownloader::WaitBeforeRetry(std::chrono::milliseconds delay) {
  record_.Add(std::format("WaitBeforeRetry({})", delay.count()));
  return !cancelled_;
}

bool FakeDownloader::Cancelled() const {
  record_.Add("Cancelled()");
  return cancelled_;
}

}  // namespace emberdale::test
