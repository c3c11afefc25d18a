// A SHA-256 computed on a thread of its own, so that a download hashes what it receives without
// slowing the transfer: Update hands over a copy of the bytes and returns at once, waiting only
// while the hasher is more than a few chunks behind (memory stays bounded).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "core/sha256.h"

namespace emberdale::core {

class AsyncSha256 {
 public:
  AsyncSha256();
  AsyncSha256(const AsyncSha256&) = delete;
  AsyncSha256& operator=(const AsyncSha256&) = delete;
  // Waits for the hashing thread.
  ~AsyncSha256();

  void Update(std::string_view data);
  // The digest of everything handed over, as 64 lower-case hex digits. Call once.
  [[nodiscard]] std::string FinishHex();

 private:
  void Hash();
  void Stop();

  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queued;  // at most kMaxQueued chunks
  std::deque<std::string> spare;   // emptied chunks, reused to avoid allocations
  bool stopping = false;
  Sha256 sha;
  std::thread thread;  // last: starts once everything above exists
};

}  // namespace emberdale::core
