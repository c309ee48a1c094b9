#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "proxy/platform.hpp"

namespace quillgate::proxy {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

// Neither inherited by child processes nor subject to Nagle's algorithm.
void expect_connection_socket(tcp::socket& socket) {
  ASSERT_TRUE(socket.is_open());
  EXPECT_TRUE(::fcntl(socket.native_handle(), F_GETFD) & FD_CLOEXEC);
  int on = 0;
  socklen_t size = sizeof on;
  ASSERT_EQ(::getsockopt(socket.native_handle(), IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
  EXPECT_EQ(on, 1);
}

TEST(Platform, BothLegsOpenCloseOnExecWithoutNagle) {
  asio::io_context loop;
  tcp::acceptor listener(loop, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  tcp::socket outgoing(loop);
  ASSERT_FALSE(platform::open_connection_socket(outgoing, tcp::v4()));
  expect_connection_socket(outgoing);
  outgoing.connect(listener.local_endpoint());

  tcp::socket accepted(loop);
  ASSERT_FALSE(platform::accept_connection(listener, accepted));
  expect_connection_socket(accepted);

  // Nothing pending: the listener is non-blocking, and that is no reason to stop.
  listener.non_blocking(true);
  tcp::socket none(loop);
  const auto ec = platform::accept_connection(listener, none);
  ASSERT_TRUE(ec);
  EXPECT_EQ(platform::classify_accept_error(ec), platform::AcceptFailure::again);
  EXPECT_FALSE(none.is_open());
}

// The codes clients show for the failures users meet; errors without a
// Windows Sockets counterpart get none.
TEST(Platform, WindowsSocketsCodes) {
  const auto socket_error = [](int e) { return platform::wsa_code_of_socket_error({e, boost::system::system_category()}); };
  EXPECT_EQ(socket_error(ECONNREFUSED), 10061);
  EXPECT_EQ(socket_error(ETIMEDOUT), 10060);
  EXPECT_EQ(socket_error(EHOSTUNREACH), 10065);
  EXPECT_EQ(socket_error(ENETUNREACH), 10051);
  EXPECT_EQ(socket_error(ECONNRESET), 10054);
  EXPECT_EQ(socket_error(EAGAIN), 10035);
  EXPECT_EQ(socket_error(EWOULDBLOCK), 10035);
  EXPECT_EQ(socket_error(ENOENT), std::nullopt);
  EXPECT_EQ(socket_error(EPERM), std::nullopt);
  EXPECT_EQ(socket_error(0), std::nullopt);
  EXPECT_EQ(platform::wsa_code_of_socket_error(asio::error::eof), std::nullopt);
  EXPECT_EQ(platform::wsa_code_of_socket_error({ECONNREFUSED, boost::system::generic_category()}), std::nullopt);

  EXPECT_EQ(platform::wsa_code_of_lookup_error(EAI_NONAME, 0), 11001);
  EXPECT_EQ(platform::wsa_code_of_lookup_error(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(platform::wsa_code_of_lookup_error(EAI_FAIL, 0), 11003);
  EXPECT_EQ(platform::wsa_code_of_lookup_error(EAI_SYSTEM, ECONNREFUSED), 10061);
  EXPECT_EQ(platform::wsa_code_of_lookup_error(EAI_SYSTEM, ENOENT), std::nullopt);
  EXPECT_EQ(platform::wsa_code_of_lookup_error(EAI_OVERFLOW, 0), std::nullopt);
}

}  // namespace
}  // namespace quillgate::proxy
