// A file opened for reading that owns its descriptor. It reads at absolute offsets, so readers
// that jump around (an archive's directory, then its entries) need no separate seek calls, or
// front to back from where the last Read stopped.
#pragma once

#include <cstdint>
#include <filesystem>

#include "core/unique_fd.h"

namespace emberdale::core {

class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading and tells the system it will be read mostly front to back.
  // False on failure, also when `path` is a directory.
  [[nodiscard]] bool Open(const std::filesystem::path& path);
  // Reads up to `count` bytes at `offset` into `buffer`; fewer only at the end of the file.
  // Returns the number of bytes read, or -1 on a read error.
  [[nodiscard]] std::int64_t ReadAt(std::uint64_t offset, char* buffer, std::uint64_t count) const;
  // Reads up to `count` bytes from the current position, which moves past them; fewer only at
  // the end of the file. Returns the number of bytes read, or -1 on a read error.
  [[nodiscard]] std::int64_t Read(char* buffer, std::uint64_t count);

 private:
  UniqueFd fd_;
};

}  // namespace emberdale::core
