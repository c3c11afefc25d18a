#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/fd_io.h"
#include "core/output_file.h"

namespace emberdale::core {

bool OutputFile::Create(const std::filesystem::path& path) {
  if (fd_ && !Close()) return false;
  int fd = -1;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  fd_.Reset(fd);
  return fd_.Valid();
}

bool OutputFile::Write(std::string_view data) {
  return WriteAll(fd_.Get(), data);
}

bool OutputFile::Sync() {
  return fd_ && ::fsync(fd_.Get()) == 0;
}

bool OutputFile::Close() {
  return fd_.Close();
}

bool SyncDirectory(const std::filesystem::path& dir) {
  int fd = -1;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  const UniqueFd folder(fd);
  return folder && ::fsync(folder.Get()) == 0;
}

}  // namespace emberdale::core
