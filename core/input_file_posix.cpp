#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/input_file.h"

namespace emberdale::core {

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::Open(const std::filesystem::path& path) {
  if (fd_ >= 0) ::close(fd_);
  do {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) return false;
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only: failure changes nothing
  return true;
}

std::int64_t InputFile::ReadAt(std::uint64_t offset, char* buffer, std::uint64_t count) const {
  std::uint64_t total = 0;
  while (total < count) {
    const ssize_t got =
        ::pread(fd_, buffer + total, count - total, static_cast<off_t>(offset + total));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    total += static_cast<std::uint64_t>(got);
  }
  return static_cast<std::int64_t>(total);
}

}  // namespace emberdale::core
