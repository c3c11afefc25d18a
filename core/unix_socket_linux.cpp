// Linux: SOCK_CLOEXEC keeps the socket from children started meanwhile, and MSG_NOSIGNAL on every
// send stands where other systems set SO_NOSIGPIPE on the socket.
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cstring>

#include "core/fd_io.h"
#include "core/unique_fd.h"
#include "core/unix_socket.h"

namespace emberdale::core {
namespace {

void SetTimeouts(int fd, std::chrono::seconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count());
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value);
}

bool Connect(int fd, const std::string& socketPath) {
  sockaddr_un address{};
  if (socketPath.size() >= sizeof address.sun_path) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  return connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

bool SendAll(int fd, std::string_view data) {
  return TransferFully(data.size(), [&](std::uint64_t done, std::uint64_t left) {
           return static_cast<std::int64_t>(send(fd, data.data() + done, left, MSG_NOSIGNAL));
         }) == static_cast<std::int64_t>(data.size());
}

}  // namespace

std::optional<std::string> ExchangeOverUnixSocket(const std::string& socketPath,
                                                  std::string_view request,
                                                  std::size_t maxReplyBytes,
                                                  std::chrono::seconds timeout) {
  const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket) return std::nullopt;
  SetTimeouts(socket.Get(), timeout);
  if (!Connect(socket.Get(), socketPath) || !SendAll(socket.Get(), request)) return std::nullopt;
  std::string reply(maxReplyBytes, '\0');
  const ssize_t got = recv(socket.Get(), reply.data(), reply.size(), 0);
  if (got < 0) return std::nullopt;
  reply.resize(static_cast<std::size_t>(got));
  return reply;
}

}  // namespace emberdale::core
