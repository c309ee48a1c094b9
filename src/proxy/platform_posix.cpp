#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "proxy/platform.hpp"

namespace quillgate::proxy::platform {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

boost::system::error_code last_error() { return {errno, boost::system::system_category()}; }

// Hands `fd` to `socket` with no-delay set; closes it when that fails.
boost::system::error_code adopt(tcp::socket& socket, const tcp& protocol, int fd) {
  const int on = 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
    const auto ec = last_error();
    ::close(fd);
    return ec;
  }
  boost::system::error_code ec;
  socket.assign(protocol, fd, ec);
  if (ec) ::close(fd);
  return ec;
}

}  // namespace

void OwnedSocket::reset(NativeSocket socket) {
  if (socket_ != invalid) ::close(socket_);
  socket_ = socket;
}

boost::system::error_code open_loopback_listener(Listener& listener, ListenerStep& failed) {
  failed = ListenerStep::listen;
  OwnedSocket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return last_error();
  const int on = 1;
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return last_error();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket.get(), 128) != 0) {
    return last_error();
  }
  failed = ListenerStep::port;
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return last_error();
  failed = ListenerStep::non_blocking;
  const int flags = ::fcntl(socket.get(), F_GETFL);
  if (flags < 0 || ::fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) return last_error();
  listener.port = ntohs(bound.sin_port);
  listener.socket = std::move(socket);
  return {};
}

asio::awaitable<boost::system::error_code> async_accept_connection(tcp::acceptor& listener, tcp::socket& socket) {
  auto [ec] = co_await listener.async_wait(tcp::acceptor::wait_read, asio::as_tuple(asio::use_awaitable));
  if (ec) co_return ec;
  co_return accept_connection(listener, socket);
}

boost::system::error_code accept_connection(tcp::acceptor& listener, tcp::socket& socket) {
  int fd;
  do {
    fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return last_error();
  // Setting up the accepted socket concerns that connection alone, or is a
  // shortage: either way it never ends accepting.
  const auto ec = adopt(socket, tcp::v4(), fd);
  if (ec && classify_accept_error(ec) == AcceptFailure::fatal) return {ECONNABORTED, boost::system::system_category()};
  return ec;
}

boost::system::error_code open_connection_socket(tcp::socket& socket, const tcp& protocol) {
  const int fd = ::socket(protocol.family(), SOCK_STREAM | SOCK_CLOEXEC, protocol.protocol());
  if (fd < 0) return last_error();
  return adopt(socket, protocol, fd);
}

AcceptFailure classify_accept_error(const boost::system::error_code& ec) {
  if (ec.category() != boost::system::system_category()) return AcceptFailure::fatal;
  switch (ec.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case ENOSPC:  // no room for one more socket in the event loop's epoll set
      return AcceptFailure::pause;
    // The connection went away before it was accepted, a firewall refused
    // it, or (Linux) a network error pending on the new connection.
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
      return AcceptFailure::again;
    default:
      return AcceptFailure::fatal;
  }
}

std::optional<std::size_t> unacknowledged_bytes(tcp::socket& socket) {
#ifdef TIOCOUTQ
  int queued = 0;
  if (socket.is_open() && ::ioctl(socket.native_handle(), TIOCOUTQ, &queued) == 0 && queued >= 0) {
    return static_cast<std::size_t>(queued);
  }
#else
  (void)socket;
#endif
  return std::nullopt;
}

}  // namespace quillgate::proxy::platform
