// One request and one reply over a Unix-domain stream socket, as a client: the transport of the
// app-link hand-over. Any thread; keeps no state.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace emberdale::core {

// Connects to the socket at `socketPath`, sends all of `request` and returns what one receive
// gives, at most `maxReplyBytes` (empty when the peer closed without answering). Nothing when the
// socket can't be made, the path does not fit a socket address, the connection is refused, or a
// send or the receive fails. Each send and the receive give up after `timeout`. A peer that went
// away never raises SIGPIPE.
[[nodiscard]] std::optional<std::string> ExchangeOverUnixSocket(const std::string& socketPath,
                                                                std::string_view request,
                                                                std::size_t maxReplyBytes,
                                                                std::chrono::seconds timeout);

}  // namespace emberdale::core
