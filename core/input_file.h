// A file opened for reading that owns its descriptor and reads at absolute offsets, so readers
// that jump around (an archive's directory, then its entries) need no separate seek calls.
#pragma once

#include <cstdint>
#include <filesystem>

namespace emberdale::core {

class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `path` for reading and tells the system it will be read mostly front to back.
  // False on failure.
  [[nodiscard]] bool Open(const std::filesystem::path& path);
  // Reads up to `count` bytes at `offset` into `buffer`; fewer only at the end of the file.
  // Returns the number of bytes read, or -1 on a read error.
  [[nodiscard]] std::int64_t ReadAt(std::uint64_t offset, char* buffer, std::uint64_t count) const;

 private:
  int fd_ = -1;
};

}  // namespace emberdale::core
