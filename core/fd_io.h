// Whole reads and writes on a file descriptor. TransferFully is the one loop that repeats
// interrupted and short transfers; ReadFull, ReadFullAt and WriteAll run it over read, pread and
// write (fd_io_posix.cpp), and a caller with another system call (a socket send) passes its own.
#pragma once

#include <cerrno>
#include <cstdint>
#include <span>
#include <string_view>

namespace emberdale::core {

// Calls transfer(done, left), which moves up to `left` bytes starting `done` bytes into the
// caller's buffer and returns how many it moved, 0 at the end, or a negative value with errno set,
// until `total` bytes are moved. A call interrupted by a signal (EINTR) is repeated. Returns the
// bytes moved (fewer than `total` only when a call returned 0), or -1 on the first other failure,
// errno telling which.
template <typename Transfer>
[[nodiscard]] std::int64_t TransferFully(std::uint64_t total, Transfer&& transfer) {
  std::uint64_t done = 0;
  while (done < total) {
    const std::int64_t moved = transfer(done, total - done);
    if (moved < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (moved == 0) break;
    done += static_cast<std::uint64_t>(moved);
  }
  return static_cast<std::int64_t>(done);
}

// Reads from fd's current position until `buffer` is full or the end is reached. The number of
// bytes read (fewer only at the end), or -1 on a read error.
[[nodiscard]] std::int64_t ReadFull(int fd, std::span<char> buffer);

// ReadFull at the absolute `offset`, leaving fd's position alone.
[[nodiscard]] std::int64_t ReadFullAt(int fd, std::uint64_t offset, std::span<char> buffer);

// Writes all of `data` at fd's current position. false on failure, errno telling which.
[[nodiscard]] bool WriteAll(int fd, std::string_view data);

}  // namespace emberdale::core
