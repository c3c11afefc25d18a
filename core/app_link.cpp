#include "core/app_link.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "core/logging.h"
#include "core/paths.h"

namespace emberdale::core {
namespace {

constexpr std::string_view kScheme = "emberdale";
constexpr std::string_view kSeparator = "://";
constexpr std::size_t kMinLinkBytes = 13;
constexpr std::size_t kMaxLinkBytes = 4096;
constexpr int kSocketTimeoutSeconds = 2;
constexpr std::size_t kReplyBytes = 7;
constexpr std::string_view kAccepted = "OK\n";
// The longest socket path that fits every platform's socket address (104 bytes with the NUL on
// some, 108 here), so an endpoint that works here works everywhere.
constexpr std::size_t kMaxSocketPathBytes = 103;
static_assert(kMaxSocketPathBytes < sizeof(sockaddr_un::sun_path));

// Owns one socket descriptor.
class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> ReadEndpoint(const std::filesystem::path& dir) {
  std::ifstream in(ExtendedLengthPath(dir / kAppLinkEndpointFile), std::ios::binary);
  if (!in) return std::nullopt;
  std::string path{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  while (!path.empty() && (path.back() == '\r' || path.back() == '\n')) path.pop_back();
  if (path.empty()) return std::nullopt;
  return path;
}

void SetTimeouts(int fd) {
  timeval timeout{};
  timeout.tv_sec = kSocketTimeoutSeconds;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

// Connects, sends the request and reads the answer; true when the launcher accepted.
bool Exchange(int fd, const std::string& socketPath, std::string_view link) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  if (!SendAll(fd, "OPEN " + std::string(link) + "\n")) return false;
  char reply[kReplyBytes];
  const ssize_t got = recv(fd, reply, sizeof reply, 0);
  return got >= static_cast<ssize_t>(kAccepted.size()) &&
         std::string_view(reply, kAccepted.size()) == kAccepted;
}

}  // namespace

bool IsAppLink(std::string_view text) {
  if (text.size() < kMinLinkBytes || text.size() > kMaxLinkBytes) return false;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (LowerAscii(text[i]) != kScheme[i]) return false;
  }
  if (text.substr(kScheme.size(), kSeparator.size()) != kSeparator) return false;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

std::optional<std::string> FindAppLink(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (IsAppLink(arg)) return arg;
  }
  return std::nullopt;
}

bool ForwardAppLink(const std::filesystem::path& dir, std::string_view link) {
  if (!IsAppLink(link)) return false;
  const std::optional<std::string> socketPath = ReadEndpoint(dir);
  if (!socketPath) return false;
  if (socketPath->size() > kMaxSocketPathBytes) {
    logging::Warn("App link endpoint path is unusable: {}", *socketPath);
    return false;
  }
  const Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return false;
  SetTimeouts(socket.get());
  const bool accepted = Exchange(socket.get(), *socketPath, link);
  if (accepted) {
    logging::Info("App link handed to the running launcher");
  } else {
    logging::Info("No running launcher took the app link");
  }
  return accepted;
}

}  // namespace emberdale::core
