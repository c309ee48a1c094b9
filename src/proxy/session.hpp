#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <memory>
#include <optional>
#include <string>

#include "expected.hpp"
#include "proxy/metrics.hpp"

namespace quillgate::proxy {

// Drives one client connection from the WebSocket handshake to the end of
// the relay. Requests it can answer (with an RDCleanPath error response) end
// in success after the session's own diagnostic line; other failures come
// back as an error value for the connection task to log.
boost::asio::awaitable<std::optional<Error>> handle_connection(boost::asio::ip::tcp::socket client,
                                                               std::string connection_id,
                                                               std::shared_ptr<Metrics> metrics);

}  // namespace quillgate::proxy
