#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mswsock.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/windows/overlapped_ptr.hpp>

#include "proxy/platform.hpp"

namespace quillgate::proxy::platform {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

boost::system::error_code last_error() { return {::WSAGetLastError(), boost::system::system_category()}; }

// Overlapped, for Asio's completion port, and never inherited: the flag makes
// the handle non-inheritable from its creation (Windows 7 SP1 and later).
SOCKET open_socket(int family) {
  return ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                      WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

// Hands `s` to `socket` with no-delay set; closes it when that fails.
boost::system::error_code adopt(tcp::socket& socket, const tcp& protocol, SOCKET s) {
  const BOOL on = TRUE;
  if (::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    const auto ec = last_error();
    ::closesocket(s);
    return ec;
  }
  boost::system::error_code ec;
  socket.assign(protocol, s, ec);
  if (ec) ::closesocket(s);
  return ec;
}

// Room for the two addresses AcceptEx writes (each 16 bytes more than the
// largest address); nothing here reads them.
constexpr DWORD accept_address_size = sizeof(sockaddr_in6) + 16;

// Starts AcceptEx of the next connection on `listener` into `accepted`. The
// completion comes through the listener's completion port (Asio's); a
// cancellation of the awaiting coroutine cancels the pending AcceptEx.
template <class Handler>
void start_accept(tcp::acceptor& listener, SOCKET accepted, char* addresses, Handler handler) {
  auto slot = asio::get_associated_cancellation_slot(handler);
  const SOCKET listening = listener.native_handle();
  asio::windows::overlapped_ptr operation(
      listener.get_executor(),
      [handler = std::move(handler), slot](boost::system::error_code ec, std::size_t) mutable {
        if (slot.is_connected()) slot.clear();
        std::move(handler)(ec);
      });
  DWORD received = 0;
  if (!::AcceptEx(listening, accepted, addresses, 0, accept_address_size, accept_address_size, &received,
                  operation.get())) {
    const int error = ::WSAGetLastError();
    if (error != ERROR_IO_PENDING) {
      operation.complete({error, boost::system::system_category()}, 0);
      return;
    }
  }
  if (slot.is_connected()) {
    slot.assign([listening](asio::cancellation_type) {
      ::CancelIoEx(reinterpret_cast<HANDLE>(listening), nullptr);
    });
  }
  operation.release();
}

}  // namespace

void OwnedSocket::reset(NativeSocket socket) {
  if (socket_ != invalid) ::closesocket(socket_);
  socket_ = socket;
}

boost::system::error_code open_loopback_listener(Listener& listener, ListenerStep& failed) {
  failed = ListenerStep::listen;
  OwnedSocket socket(open_socket(AF_INET));
  if (socket.get() == INVALID_SOCKET) return last_error();
  // Not SO_REUSEADDR: on Windows it lets another socket take over a port in
  // use. Exclusive use is what a fresh ephemeral port gives anyway.
  const BOOL on = TRUE;
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return last_error();
  }
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
  int length = sizeof bound;
  if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) return last_error();
  failed = ListenerStep::non_blocking;
  u_long non_blocking = 1;
  if (::ioctlsocket(socket.get(), FIONBIO, &non_blocking) != 0) return last_error();
  listener.port = ntohs(bound.sin_port);
  listener.socket = std::move(socket);
  return {};
}

// The socket for the connection is opened non-inheritable before the accept,
// so it never exists in an inheritable state.
asio::awaitable<boost::system::error_code> async_accept_connection(tcp::acceptor& listener, tcp::socket& socket) {
  OwnedSocket accepted(open_socket(AF_INET));
  if (accepted.get() == INVALID_SOCKET) co_return last_error();
  char addresses[2 * accept_address_size];
  auto token = asio::as_tuple(asio::use_awaitable);
  auto [ec] = co_await asio::async_initiate<decltype(token), void(boost::system::error_code)>(
      [&listener, &accepted, &addresses](auto handler) {
        start_accept(listener, accepted.get(), addresses, std::move(handler));
      },
      token);
  if (ec) co_return ec;
  // Setting up the accepted socket concerns that connection alone, or is a
  // shortage: either way it never ends accepting.
  const auto for_this_connection = [](boost::system::error_code e) -> boost::system::error_code {
    if (e && classify_accept_error(e) == AcceptFailure::fatal) return {WSAECONNABORTED, boost::system::system_category()};
    return e;
  };
  // Makes the socket a full one (getsockname, shutdown) with the listener's options.
  const SOCKET listening = listener.native_handle();
  if (::setsockopt(accepted.get(), SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT, reinterpret_cast<const char*>(&listening),
                   sizeof listening) != 0) {
    co_return for_this_connection(last_error());
  }
  co_return for_this_connection(adopt(socket, tcp::v4(), accepted.release()));
}

boost::system::error_code open_connection_socket(tcp::socket& socket, const tcp& protocol) {
  const SOCKET s = open_socket(protocol.family());
  if (s == INVALID_SOCKET) return last_error();
  return adopt(socket, protocol, s);
}

AcceptFailure classify_accept_error(const boost::system::error_code& ec) {
  if (ec.category() != boost::system::system_category()) return AcceptFailure::fatal;
  switch (ec.value()) {
    case WSAEMFILE:
    case WSAENOBUFS:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_NO_SYSTEM_RESOURCES:
      return AcceptFailure::pause;
    // The peer reset or aborted the connection before it was accepted
    // (AcceptEx reports the network name as deleted), or before it was set
    // up, nothing is pending any more, or the network went away for a moment.
    case ERROR_NETNAME_DELETED:
    case ERROR_CONNECTION_ABORTED:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAENOTCONN:
    case WSAEWOULDBLOCK:
    case WSAEINTR:
    case WSAEINPROGRESS:
    case WSAENETDOWN:
    case WSAEHOSTUNREACH:
    case WSAENETUNREACH:
      return AcceptFailure::again;
    default:
      return AcceptFailure::fatal;
  }
}

namespace {

// SIO_TCP_INFO with its version 0 answer (Windows 10 1703 and later), as
// Microsoft documents them; the headers declare them only for builds that
// require that version. An older system refuses the call.
constexpr DWORD sio_tcp_info = _WSAIORW(IOC_VENDOR, 39);
struct TcpInfoV0 {
  int State;
  ULONG Mss;
  ULONG64 ConnectionTimeMs;
  BOOLEAN TimestampsEnabled;
  ULONG RttUs;
  ULONG MinRttUs;
  ULONG BytesInFlight;
  ULONG Cwnd;
  ULONG SndWnd;
  ULONG RcvWnd;
  ULONG RcvBuf;
  ULONG64 BytesOut;
  ULONG64 BytesIn;
  ULONG BytesReordered;
  ULONG BytesRetrans;
  ULONG FastRetrans;
  ULONG DupAcksIn;
  ULONG TimeoutEpisodes;
  UCHAR SynRetrans;
};

}  // namespace

std::optional<std::size_t> unacknowledged_bytes(tcp::socket& socket) {
  if (!socket.is_open()) return std::nullopt;
  DWORD version = 0;
  TcpInfoV0 info{};
  DWORD size = 0;
  if (::WSAIoctl(socket.native_handle(), sio_tcp_info, &version, sizeof version, &info, sizeof info, &size, nullptr,
                 nullptr) != 0 ||
      size < sizeof info) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(info.BytesInFlight);
}

namespace {

// Winsock's own codes (WSABASEERR, 10000, and up; the name-resolution ones
// from 11001): anything else from the system is no Windows Sockets code.
bool is_winsock_code(int value) { return value >= 10000 && value < 12000; }

}  // namespace

// Asio reports Winsock's codes as they are, and turns the few Windows errors
// that ConnectEx completes with into them (ERROR_CONNECTION_REFUSED into
// WSAECONNREFUSED, and so on).
std::optional<std::uint16_t> wsa_code_of_socket_error(const boost::system::error_code& ec) {
  if (ec.category() != boost::system::system_category() || !is_winsock_code(ec.value())) return std::nullopt;
  return static_cast<std::uint16_t>(ec.value());
}

// Windows' getaddrinfo returns Winsock codes, WSA_NOT_ENOUGH_MEMORY (8) among them.
std::optional<std::uint16_t> wsa_code_of_lookup_error(int code, int) {
  if (!is_winsock_code(code) && code != WSA_NOT_ENOUGH_MEMORY) return std::nullopt;
  return static_cast<std::uint16_t>(code);
}

}  // namespace quillgate::proxy::platform
