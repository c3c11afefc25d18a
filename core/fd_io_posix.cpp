#include <unistd.h>

#include "core/fd_io.h"

namespace emberdale::core {

std::int64_t ReadFull(int fd, std::span<char> buffer) {
  return TransferFully(buffer.size(), [&](std::uint64_t done, std::uint64_t left) {
    return static_cast<std::int64_t>(::read(fd, buffer.data() + done, left));
  });
}

std::int64_t ReadFullAt(int fd, std::uint64_t offset, std::span<char> buffer) {
  return TransferFully(buffer.size(), [&](std::uint64_t done, std::uint64_t left) {
    return static_cast<std::int64_t>(
        ::pread(fd, buffer.data() + done, left, static_cast<off_t>(offset + done)));
  });
}

bool WriteAll(int fd, std::string_view data) {
  return TransferFully(data.size(), [&](std::uint64_t done, std::uint64_t left) {
           return static_cast<std::int64_t>(::write(fd, data.data() + done, left));
         }) == static_cast<std::int64_t>(data.size());
}

}  // namespace emberdale::core
