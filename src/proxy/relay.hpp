#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <optional>

#include "expected.hpp"
#include "proxy/client_stream.hpp"
#include "proxy/tls.hpp"

namespace quillgate::proxy {

using WebSocket = boost::beast::websocket::stream<ClientStream>;

// Copies the client's messages into the TLS stream and the server's stream
// back as Binary messages until one side ends, then ends the other in order
// so that it gets everything sent before the end:
//
// - The server ends its stream (a close notification, or TCP closed): the
//   client gets everything read from the server, then a Close with code 1000.
// - The server fails (a read or write error): a Close with code 1011, and the
//   failure is the relay's result.
// - The client ends (a Close, answered, or TCP closed): the server gets
//   everything read from the client, then the close notification and a FIN.
// - The client fails (a read or write error): nothing more can reach it;
//   both connections are dropped, and the failure is the result.
//
// Whatever the other side still sends meanwhile is read and discarded until
// it closes in turn, for a few seconds at most.
boost::asio::awaitable<std::optional<Error>> relay(WebSocket& ws, TlsStream& tls);

}  // namespace quillgate::proxy
