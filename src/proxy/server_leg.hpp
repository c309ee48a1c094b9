#pragma once

#include <array>
#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "asn1.hpp"
#include "expected.hpp"

// The gateway's leg towards the RDP server, up to the X.224 Connection
// Confirm: connect, then read one TPKT packet (RFC 1006).
namespace quillgate::proxy {

// Why the server could not be reached: the text for the diagnostic line and,
// where the system's error has one, its Windows Sockets code for the client.
struct ConnectError {
  std::string message;
  std::optional<std::uint16_t> wsa_code;
};

// Connects to an IP literal directly, otherwise to each address the system
// resolver gives for the host, in order, keeping the last error. Each attempt
// is given `attempt_limit` at most (then the next address is tried), or else
// the system's own time. The lookup runs on a lookup thread (lookup.hpp) and
// never blocks the event loop nor its shutdown.
boost::asio::awaitable<Expected<boost::asio::ip::tcp::socket, ConnectError>> connect_to_server(
    const std::string& host, std::uint16_t port,
    std::optional<std::chrono::steady_clock::duration> attempt_limit = std::nullopt);

// True for an IPv4 address in dotted-decimal form or an IPv6 address in its
// text form (no zone suffix).
bool is_ip_literal(const std::string& host);

// Reads exactly one TPKT packet, header included: version 3, reserved 0,
// big-endian length 4..65535 counting the header. Reads nothing beyond it.
template <class AsyncReadStream>
boost::asio::awaitable<Expected<asn1::Bytes>> read_tpckt_packet(AsyncReadStream& stream) {
  namespace asio = boost::asio;
  std::array<std::uint8_t, 4> header;
  auto [header_error, header_size] =
      co_await asio::async_read(stream, asio::buffer(header), asio::as_tuple(asio::use_awaitable));
  if (header_error) co_return Error{"读取 TPKT header 失败: " + header_error.message()};
  if (header[0] != 3 || header[1] != 0) co_return Error{"无效的 TPKT header"};
  const std::size_t length = std::size_t{header[2]} << 8 | header[3];
  if (length < 4) co_return Error{"TPKT 长度不合法"};

  asn1::Bytes packet(length);
  std::copy(header.begin(), header.end(), packet.begin());
  if (length > 4) {
    auto [body_error, body_size] = co_await asio::async_read(stream, asio::buffer(packet.data() + 4, length - 4),
                                                             asio::as_tuple(asio::use_awaitable));
    if (body_error) co_return Error{"读取 TPKT body 失败: " + body_error.message()};
  }
  co_return packet;
}

}  // namespace quillgate::proxy
