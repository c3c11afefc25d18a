#include <unistd.h>

#include <cerrno>

#include "core/unique_fd.h"

namespace emberdale::core {

void CloseFd(int fd) noexcept {
  ::close(fd);
}

bool UniqueFd::Close() noexcept {
  if (fd_ < 0) return true;
  const int result = ::close(Release());
  return result == 0 || errno == EINTR;
}

}  // namespace emberdale::core
