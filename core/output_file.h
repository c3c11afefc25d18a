// A file opened for writing (created or truncated) that owns its descriptor and writes through
// the system call directly: callers hand it large blocks, so no second buffer sits in between.
#pragma once

#include <filesystem>
#include <string_view>

#include "core/unique_fd.h"

namespace emberdale::core {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates or truncates `path` with the process's default permissions. False on failure.
  [[nodiscard]] bool Create(const std::filesystem::path& path);
  // Writes all of `data` at the current position. False on failure.
  [[nodiscard]] bool Write(std::string_view data);
  // Waits until the written data is on the storage device. False on failure.
  [[nodiscard]] bool Sync();
  // Closes the file, reporting a failure the system only reveals on close. Idempotent.
  [[nodiscard]] bool Close();

 private:
  UniqueFd fd_;
};

// Waits until the entries of `dir` (a file just renamed into it) are on the storage device. False
// on failure.
bool SyncDirectory(const std::filesystem::path& dir);

}  // namespace emberdale::core
