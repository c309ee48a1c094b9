#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/detail/socket_types.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

// What differs between operating systems in how the gateway opens sockets.
// Every socket is opened so that child processes of the host do not inherit
// it (a child holding a copy would keep a connection open after the gateway
// closed it, and could read the client's unencrypted stream), atomically, so
// that a child started by another thread at that moment cannot get one
// either. Connection sockets have Nagle's algorithm off before their first
// byte: RDP input and screen updates are small writes that must not wait
// for the peer's delayed acknowledgement.
namespace quillgate::proxy::platform {

// A system socket: a descriptor, or a Windows SOCKET (Asio's native handle
// type wraps it there).
using NativeSocket = boost::asio::detail::socket_type;

// Closes the socket it holds; owns it until released.
class OwnedSocket {
 public:
  OwnedSocket() = default;
  explicit OwnedSocket(NativeSocket socket) : socket_(socket) {}
  OwnedSocket(OwnedSocket&& other) noexcept : socket_(std::exchange(other.socket_, invalid)) {}
  OwnedSocket& operator=(OwnedSocket&& other) noexcept {
    if (this != &other) reset(std::exchange(other.socket_, invalid));
    return *this;
  }
  ~OwnedSocket() { reset(); }
  NativeSocket get() const { return socket_; }
  NativeSocket release() { return std::exchange(socket_, invalid); }
  void reset(NativeSocket socket = invalid);

 private:
  static constexpr NativeSocket invalid = static_cast<NativeSocket>(-1);
  NativeSocket socket_ = invalid;
};

// A listening socket on 127.0.0.1 and the port the system gave it.
struct Listener {
  OwnedSocket socket;
  std::uint16_t port = 0;
};

// The loopback listener: an ephemeral port, non-blocking, with a backlog of
// 128. On failure, `failed` says which step failed.
enum class ListenerStep { listen, port, non_blocking };
boost::system::error_code open_loopback_listener(Listener& listener, ListenerStep& failed);

// Waits for the next connection on `listener` (IPv4, non-blocking, from
// open_loopback_listener) and accepts it into `socket`, which must be closed;
// the connection runs on the socket's executor. Ends early, with an error,
// when the awaiting coroutine is cancelled (the accept loop's `||` with the
// stop signal). On Linux: a readiness wait, then accept4. On Windows, where
// Asio implements a read wait on a stream socket as a zero-byte receive, which
// a listening socket does not complete: AcceptEx on a socket opened beforehand.
boost::asio::awaitable<boost::system::error_code> async_accept_connection(boost::asio::ip::tcp::acceptor& listener,
                                                                          boost::asio::ip::tcp::socket& socket);

// Accepts one pending connection from `listener` (IPv4, non-blocking) into
// `socket`, which must be closed, without waiting. POSIX only: Windows has
// no accept that creates the socket non-inheritable.
boost::system::error_code accept_connection(boost::asio::ip::tcp::acceptor& listener,
                                            boost::asio::ip::tcp::socket& socket);

// Opens `socket` (closed) for connecting to an address of `protocol`.
boost::system::error_code open_connection_socket(boost::asio::ip::tcp::socket& socket,
                                                 const boost::asio::ip::tcp& protocol);

// How many bytes written to `socket` its peer has not acknowledged yet,
// sent or still queued, where the system tells (Linux; Windows 10 1703 and
// later, sent bytes only): how a closing connection sees that a slow peer is
// still taking what it was sent.
std::optional<std::size_t> unacknowledged_bytes(boost::asio::ip::tcp::socket& socket);

// What an accept error means for the accept loop.
enum class AcceptFailure {
  again,  // the peer's or a signal's doing: accept the next connection at once
  pause,  // a momentary shortage (descriptors, memory): wait a little, then accept again
  fatal,  // the listener itself is broken: stop accepting
};
AcceptFailure classify_accept_error(const boost::system::error_code& ec);

// The Windows Sockets code of a failure to reach the server, which
// RDCleanPath clients show and hand to the application: from a socket error
// (the system's: errno, or on Windows the Winsock code itself, which passes
// through), and from a failed getaddrinfo (its return code, and the socket
// error as it was right after the call, which EAI_SYSTEM refers to).
// Nullopt for an error without a Windows Sockets counterpart: never a guess.
std::optional<std::uint16_t> wsa_code_of_socket_error(const boost::system::error_code& ec);
std::optional<std::uint16_t> wsa_code_of_lookup_error(int code, int system_error);

}  // namespace quillgate::proxy::platform
