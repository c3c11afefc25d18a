#include <unistd.h>

#include "core/unique_fd.h"

namespace emberdale::core {

void CloseFd(int fd) noexcept {
  ::close(fd);
}

}  // namespace emberdale::core
