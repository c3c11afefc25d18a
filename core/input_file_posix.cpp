#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/fd_io.h"
#include "core/input_file.h"

namespace emberdale::core {

bool InputFile::Open(const std::filesystem::path& path) {
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  fd_.Reset(fd);
  struct stat info {};
  if (!fd_ || ::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    fd_.Reset();
    return false;
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // advice only: failure changes nothing
  return true;
}

std::int64_t InputFile::ReadAt(std::uint64_t offset, char* buffer, std::uint64_t count) const {
  return ReadFullAt(fd_.Get(), offset, {buffer, count});
}

std::int64_t InputFile::Read(char* buffer, std::uint64_t count) {
  return ReadFull(fd_.Get(), {buffer, count});
}

}  // namespace emberdale::core
