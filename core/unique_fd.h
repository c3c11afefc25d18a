// UniqueFd: the sole owner of one file descriptor, closed when the owner dies or is reset.
// Move-only; a moved-from or empty owner holds -1. The class itself names no system header, so
// the platform files of core/ and the POSIX layer share it; closing lives in unique_fd_posix.cpp.
#pragma once

namespace emberdale::core {

// Closes fd and ignores the result: on Linux the descriptor is released even when close()
// reports an error, so retrying could close a descriptor another thread has just been given.
void CloseFd(int fd) noexcept;

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  // Takes ownership of fd (-1 for none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { Reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // The descriptor, or -1 when there is none. Ownership stays here.
  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return Valid(); }

  // Gives up ownership without closing; the caller now owns the returned descriptor.
  [[nodiscard]] int Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the owned descriptor now, reporting a failure the system only reveals on close (EIO,
  // ENOSPC). An interrupted close counts as done: the descriptor is released all the same. true
  // when nothing was owned.
  [[nodiscard]] bool Close() noexcept;

  // Closes the owned descriptor, if any (see CloseFd), and takes ownership of fd.
  void Reset(int fd = -1) noexcept {
    if (fd_ >= 0 && fd_ != fd) CloseFd(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace emberdale::core
