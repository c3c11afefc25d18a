#include "core/trailing_sha256.h"

#include <algorithm>
#include <format>
#include <system_error>

#include "core/paths.h"
#include "core/thread_priority.h"

namespace emberdale::core {
namespace {

// The thread wakes when this much more is written, and reads it back in blocks of kReadBytes.
constexpr std::uint64_t kSliceBytes = 1024 * 1024;
constexpr std::uint64_t kReadBytes = 64 * 1024;

}  // namespace

std::expected<std::unique_ptr<TrailingSha256>, std::string> TrailingSha256::Start(
    const std::filesystem::path& file) {
  std::unique_ptr<TrailingSha256> hashing(new TrailingSha256(file));
  if (!hashing->in_.Open(ExtendedLengthPath(file))) {
    return std::unexpected(std::format("can't open {}", PathToUtf8(file)));
  }
  hashing->buffer_ = std::make_unique_for_overwrite<char[]>(kReadBytes);
  try {
    hashing->thread_ = std::thread([raw = hashing.get()] { raw->Run(); });
  } catch (const std::system_error& error) {
    return std::unexpected(std::format("can't start the hashing thread: {}", error.what()));
  }
  return hashing;
}

TrailingSha256::~TrailingSha256() {
  if (!thread_.joinable()) return;
  {
    const std::lock_guard lock(mutex_);
    stop_ = true;
  }
  grown_.notify_one();
  thread_.join();
}

void TrailingSha256::Written(std::uint64_t bytes) {
  if (bytes - reported_ < kSliceBytes) return;
  reported_ = bytes;
  {
    const std::lock_guard lock(mutex_);
    available_ = bytes;
  }
  grown_.notify_one();
}

std::expected<std::string, std::string> TrailingSha256::Finish(std::uint64_t bytes) {
  {
    const std::lock_guard lock(mutex_);
    available_ = bytes;
    last_ = true;
  }
  grown_.notify_one();
  thread_.join();
  if (!error_.empty()) return std::unexpected(error_);
  return hasher_.FinishHex();
}

void TrailingSha256::Run() {
  // The receiving thread and, on one machine, the server come first: the digest only has to be
  // ready when the last byte is.
  LowerThisThreadsPriority();
  for (;;) {
    std::uint64_t end = 0;
    bool last = false;
    {
      std::unique_lock lock(mutex_);
      grown_.wait(lock, [&] { return stop_ || last_ || available_ > hashed_; });
      if (stop_) return;
      end = available_;
      last = last_;
    }
    if (!HashUpTo(end)) return;
    if (last) return;
  }
}

bool TrailingSha256::HashUpTo(std::uint64_t end) {
  while (hashed_ < end) {
    if (stop_) return false;
    const std::uint64_t want = std::min(end - hashed_, kReadBytes);
    const std::int64_t got = in_.ReadAt(hashed_, buffer_.get(), want);
    if (got < 0) {
      error_ = std::format("read error on {}", PathToUtf8(file_));
      return false;
    }
    if (static_cast<std::uint64_t>(got) < want) {
      error_ = std::format("{} is shorter than written", PathToUtf8(file_));
      return false;
    }
    hasher_.Update(std::string_view(buffer_.get(), static_cast<std::size_t>(got)));
    hashed_ += static_cast<std::uint64_t>(got);
  }
  return true;
}

}  // namespace emberdale::core
