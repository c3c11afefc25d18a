// App links: URLs of the product's own scheme ("emberdale://"), and their hand-over to a running
// launcher over the Unix-domain socket named in the launcher's endpoint file.
//
// Wire protocol, one request per connection: the updater sends "OPEN " + link + "\n"; the
// launcher answers "OK\n" to accept. Both directions time out after 2 seconds.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace emberdale::core {

// The endpoint file the running launcher writes into the install directory.
inline constexpr std::string_view kAppLinkEndpointFile = "launcher-app-link.endpoint";

// Whether `text` is an app link: 13 to 4096 bytes, the scheme "emberdale" in any ASCII case
// followed by exactly "://", and no control characters (bytes from 0x80 up are allowed).
[[nodiscard]] bool IsAppLink(std::string_view text);

// The first argument, in order, that is an app link.
[[nodiscard]] std::optional<std::string> FindAppLink(const std::vector<std::string>& args);

// Hands `link` to the launcher listening on the socket named in `dir`'s endpoint file. true when
// the launcher accepted it. Blocks for at most about 2 seconds per send and per receive.
[[nodiscard]] bool ForwardAppLink(const std::filesystem::path& dir, std::string_view link);

}  // namespace emberdale::core
