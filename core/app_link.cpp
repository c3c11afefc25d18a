#include "core/app_link.h"

#include <fstream>
#include <iterator>

#include "core/ascii.h"
#include "core/logging.h"
#include "core/paths.h"
#include "core/unix_socket.h"

namespace emberdale::core {
namespace {

constexpr std::string_view kScheme = "emberdale";
constexpr std::string_view kSeparator = "://";
constexpr std::size_t kMinLinkBytes = 13;
constexpr std::size_t kMaxLinkBytes = 4096;
constexpr std::chrono::seconds kSocketTimeout{2};
constexpr std::size_t kReplyBytes = 7;
constexpr std::string_view kAccepted = "OK\n";
// The longest socket path that fits every platform's socket address (104 bytes with the NUL on
// some, 108 here), so an endpoint that works here works everywhere.
constexpr std::size_t kMaxSocketPathBytes = 103;

std::optional<std::string> ReadEndpoint(const std::filesystem::path& dir) {
  std::ifstream in(ExtendedLengthPath(dir / kAppLinkEndpointFile), std::ios::binary);
  if (!in) return std::nullopt;
  std::string path{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  while (!path.empty() && (path.back() == '\r' || path.back() == '\n')) path.pop_back();
  if (path.empty()) return std::nullopt;
  return path;
}

}  // namespace

bool IsAppLink(std::string_view text) {
  if (text.size() < kMinLinkBytes || text.size() > kMaxLinkBytes) return false;
  if (!EqualsIgnoringAsciiCase(text.substr(0, kScheme.size()), kScheme)) return false;
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
  const std::optional<std::string> reply = ExchangeOverUnixSocket(
      *socketPath, "OPEN " + std::string(link) + "\n", kReplyBytes, kSocketTimeout);
  const bool accepted = reply && reply->starts_with(kAccepted);
  if (accepted) {
    logging::Info("App link handed to the running launcher");
  } else {
    logging::Info("No running launcher took the app link");
  }
  return accepted;
}

}  // namespace emberdale::core
