#include "core/progress_gate.h"

namespace emberdale::core {

ProgressCallback ProgressGate::Add(ProgressCallback show) {
  std::lock_guard lock(mutex);
  const std::size_t index = entries.size();
  entries.push_back({std::move(show), std::nullopt});
  return [this, index](std::uint64_t received, std::uint64_t total) {
    Report(index, received, total);
  };
}

void ProgressGate::Open(std::size_t index) {
  std::lock_guard lock(mutex);
  open = index;
  Entry& entry = entries.at(index);
  if (entry.held && entry.show) entry.show(entry.held->first, entry.held->second);
}

void ProgressGate::Report(std::size_t index, std::uint64_t received, std::uint64_t total) {
  std::lock_guard lock(mutex);
  Entry& entry = entries[index];
  if (index != open) {
    entry.held.emplace(received, total);
  } else if (entry.show) {
    entry.show(received, total);
  }
}

}  // namespace emberdale::core
