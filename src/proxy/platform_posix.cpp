#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

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

namespace {

// errno to Windows Sockets codes: Winsock numbered its codes after BSD's errno
// values plus 10000, so each code here has the same name as its errno (the
// WSA prefix added). A table rather than a switch: some names share a value
// on some systems (EAGAIN and EWOULDBLOCK); the first entry wins.
constexpr std::pair<int, std::uint16_t> socket_errors[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},          {EFAULT, 10014},
    {EINVAL, 10022},          {EMFILE, 10024},          {EWOULDBLOCK, 10035},     {EAGAIN, 10035},
    {EINPROGRESS, 10036},     {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},     {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},      {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},      {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},       {ECONNABORTED, 10053},    {ECONNRESET, 10054},      {ENOBUFS, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},        {ESHUTDOWN, 10058},       {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},    {ELOOP, 10062},           {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065},
};

// getaddrinfo's codes to the ones Windows' getaddrinfo returns for the same
// failure (its EAI_* names are defined as these Winsock codes).
constexpr std::pair<int, std::uint16_t> lookup_errors[] = {
    {EAI_NONAME, 11001},  // WSAHOST_NOT_FOUND
    {EAI_AGAIN, 11002},   // WSATRY_AGAIN
    {EAI_FAIL, 11003},    // WSANO_RECOVERY
#ifdef EAI_NODATA
    {EAI_NODATA, 11004},  // WSANO_DATA (glibc's extension)
#endif
    {EAI_FAMILY, 10047},    // WSAEAFNOSUPPORT
    {EAI_SOCKTYPE, 10044},  // WSAESOCKTNOSUPPORT
    {EAI_BADFLAGS, 10022},  // WSAEINVAL
    {EAI_SERVICE, 10109},   // WSATYPE_NOT_FOUND
    {EAI_MEMORY, 8},        // WSA_NOT_ENOUGH_MEMORY
};

template <std::size_t N>
std::optional<std::uint16_t> look_up(const std::pair<int, std::uint16_t> (&table)[N], int value) {
  for (const auto& [system, wsa] : table) {
    if (system == value) return wsa;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::uint16_t> wsa_code_of_socket_error(const boost::system::error_code& ec) {
  if (ec.category() != boost::system::system_category()) return std::nullopt;
  return look_up(socket_errors, ec.value());
}

std::optional<std::uint16_t> wsa_code_of_lookup_error(int code, int system_error) {
  if (code == EAI_SYSTEM) return look_up(socket_errors, system_error);
  return look_up(lookup_errors, code);
}

}  // namespace quillgate::proxy::platform
