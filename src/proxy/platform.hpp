#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

// What differs between operating systems in how the gateway opens sockets.
// Every socket is opened so that child processes of the host do not inherit
// it (a child holding a copy would keep a connection open after the gateway
// closed it, and could read the client's unencrypted stream), atomically, so
// that a child started by another thread at that moment cannot get one
// either. Connection sockets have Nagle's algorithm off before their first
// byte: RDP input and screen updates are small writes that must not wait
// for the peer's delayed acknowledgement.
namespace quillgate::proxy::platform {

// Accepts one pending connection from `listener` (IPv4, non-blocking) into
// `socket`, which must be closed.
boost::system::error_code accept_connection(boost::asio::ip::tcp::acceptor& listener,
                                            boost::asio::ip::tcp::socket& socket);

// Opens `socket` (closed) for connecting to an address of `protocol`.
boost::system::error_code open_connection_socket(boost::asio::ip::tcp::socket& socket,
                                                 const boost::asio::ip::tcp& protocol);

// What an accept error means for the accept loop.
enum class AcceptFailure {
  again,  // the peer's or a signal's doing: accept the next connection at once
  pause,  // a momentary shortage (descriptors, memory): wait a little, then accept again
  fatal,  // the listener itself is broken: stop accepting
};
AcceptFailure classify_accept_error(const boost::system::error_code& ec);

}  // namespace quillgate::proxy::platform
