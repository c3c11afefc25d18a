// Lets the download progress of components fetched at the same time reach the display one
// component after another, in the order the run reaches them: the user sees the same story as
// if they were fetched one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "core/updater_host.h"

namespace emberdale::core {

class ProgressGate {
 public:
  // The callback for the next component (index 0, 1, ... in the order the run reaches them),
  // shown by `show` once opened. The gate must outlive every callback it returns.
  ProgressCallback Add(ProgressCallback show);

  // From now on component `index` is shown: its latest held figures at once, then every report.
  void Open(std::size_t index);

 private:
  struct Entry {
    ProgressCallback show;
    std::optional<std::pair<std::uint64_t, std::uint64_t>> held;
  };
  void Report(std::size_t index, std::uint64_t received, std::uint64_t total);

  std::mutex mutex;
  std::vector<Entry> entries;
  std::size_t open = SIZE_MAX;  // none until the run reaches the first
};

}  // namespace emberdale::core
