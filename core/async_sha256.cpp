#include "core/async_sha256.h"

namespace emberdale::core {
namespace {

constexpr std::size_t kMaxQueued = 4;

}  // namespace

AsyncSha256::AsyncSha256() : thread([this] { Hash(); }) {}

AsyncSha256::~AsyncSha256() {
  Stop();
}

void AsyncSha256::Update(std::string_view data) {
  std::unique_lock lock(mutex);
  changed.wait(lock, [this] { return queued.size() < kMaxQueued; });
  std::string chunk;
  if (!spare.empty()) {
    chunk = std::move(spare.front());
    spare.pop_front();
  }
  chunk.assign(data);
  queued.push_back(std::move(chunk));
  changed.notify_all();
}

std::string AsyncSha256::FinishHex() {
  Stop();
  return sha.FinishHex();
}

void AsyncSha256::Stop() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  changed.notify_all();
  if (thread.joinable()) thread.join();
}

void AsyncSha256::Hash() {
  std::unique_lock lock(mutex);
  while (true) {
    changed.wait(lock, [this] { return !queued.empty() || stopping; });
    if (queued.empty()) return;
    std::string chunk = std::move(queued.front());
    queued.pop_front();
    lock.unlock();
    sha.Update(chunk);
    lock.lock();
    spare.push_back(std::move(chunk));
    changed.notify_all();
  }
}

}  // namespace emberdale::core
