// The SHA-256 of a file while another thread writes it. A thread of its own reads back what the
// writer reports written, from the page cache, a slice behind it, so the writing thread (a
// download receiving and decrypting) spends nothing on the digest, and the digest is ready a
// moment after the last write.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/input_file.h"
#include "core/sha256.h"

namespace emberdale::core {

class TrailingSha256 {
 public:
  // Starts hashing `file`, which the caller has just created and will write front to back.
  // Errors: "can't open {path}", "can't start the hashing thread: ...".
  static std::expected<std::unique_ptr<TrailingSha256>, std::string> Start(
      const std::filesystem::path& file);
  // Stops the thread, whatever it has hashed.
  ~TrailingSha256();
  TrailingSha256(const TrailingSha256&) = delete;
  TrailingSha256& operator=(const TrailingSha256&) = delete;

  // The writer's report: the file now holds `bytes` bytes, all of them handed to the system (not
  // in a buffer of the writer's). Cheap: the thread is woken once per slice.
  void Written(std::uint64_t bytes);
  // Waits until the file's first `bytes` bytes are hashed and returns their hex digest. Errors:
  // "read error on {path}", "{path} is shorter than written". Once only.
  std::expected<std::string, std::string> Finish(std::uint64_t bytes);

 private:
  explicit TrailingSha256(std::filesystem::path file) : file_(std::move(file)) {}
  void Run();
  // Hashes from `hashed_` up to `end`; false when stopped, on a read error or when the file ends
  // sooner.
  bool HashUpTo(std::uint64_t end);

  const std::filesystem::path file_;
  InputFile in_;
  Sha256 hasher_;
  std::unique_ptr<char[]> buffer_;
  std::uint64_t hashed_ = 0;    // the thread's own
  std::uint64_t reported_ = 0;  // the writer's own: the last size the thread was told
  std::mutex mutex_;
  std::condition_variable grown_;
  std::uint64_t available_ = 0;  // guarded: bytes the thread may hash
  bool last_ = false;            // guarded: `available_` is the file's final size
  // Set under the mutex, so the waiting thread cannot miss it, and asked between reads too, so a
  // cancelled download does not wait for the thread to catch up.
  std::atomic<bool> stop_ = false;
  std::string error_;  // the thread's, read after it ends
  std::thread thread_;
};

}  // namespace emberdale::core
