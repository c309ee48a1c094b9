#include "proxy/session.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/websocket/stream.hpp>
#include <chrono>
#include <memory>
#include <tuple>
#include <variant>

#include "proxy/client_stream.hpp"
#include "proxy/destination.hpp"
#include "proxy/kdc_proxy.hpp"
#include "proxy/kdc_target.hpp"
#include "proxy/log.hpp"
#include "proxy/origin.hpp"
#include "proxy/server_leg.hpp"
#include "proxy/tls.hpp"
#include "rdcleanpath.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using WebSocket = websocket::stream<ClientStream>;

namespace {

constexpr auto token = asio::as_tuple(asio::use_awaitable);

constexpr std::size_t max_message_size = 64 * 1024 * 1024;
constexpr std::size_t relay_read_size = 16384;
// While OpenSSL holds more of the server's stream, up to this many messages
// are sent with one write: a quarter of the system calls when streaming, and
// still a bounded amount read ahead of a slow client.
constexpr int messages_per_write = 4;
constexpr std::size_t message_header_size = 4;  // a Binary frame of 126..65535 bytes
// A client message buffer grown beyond this is released once the message is
// written, so that one large message does not pin its memory for the life of
// the connection.
constexpr std::size_t kept_message_capacity = 64 * 1024;
constexpr auto x224_time_limit = std::chrono::seconds(10);

// The upgrade request's header block; Beast's own limit for it.
constexpr std::size_t max_request_size = 8 * 1024;

constexpr std::uint16_t bad_request = 400;
constexpr std::uint16_t server_failure = 500;

std::span<const std::uint8_t> bytes_of(const beast::flat_buffer& buffer) {
  const auto data = buffer.cdata();
  return {static_cast<const std::uint8_t*>(data.data()), data.size()};
}

// The client's TCP stream ended without a Close frame.
bool is_end_of_stream(const boost::system::error_code& ec) { return ec == asio::error::eof; }

// The server's X.224 reply, or nullopt when the time limit, measured from the
// start of the read, passes first.
asio::awaitable<std::optional<Expected<asn1::Bytes>>> read_x224_reply(tcp::socket& server) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer limit(co_await asio::this_coro::executor, x224_time_limit);
  auto first_done = co_await (read_tpckt_packet(server) || limit.async_wait(token));
  if (first_done.index() == 1) co_return std::nullopt;
  co_return std::get<0>(std::move(first_done));
}

// Sends the error response for `code` and a Close frame without payload,
// ignoring send failures, then writes the diagnostic line.
asio::awaitable<void> reject(WebSocket& ws, std::string_view id, std::uint16_t code, std::string_view line) {
  const auto response = rdcleanpath::create_error_response(code);
  ws.binary(true);
  co_await ws.async_write(asio::buffer(response), token);
  // Written directly: Beast's own close would wait for the client's answering
  // Close, and the session does not wait for it.
  static constexpr std::uint8_t close_frame[] = {0x88, 0x00};
  co_await asio::async_write(ws.next_layer(), asio::buffer(close_frame), token);
  log_line(id, line);
}

// `client_closed` as for server_to_client: a client that sends its Close
// and resets the connection before the answer is out still closed it.
asio::awaitable<std::optional<Error>> client_to_server(WebSocket& ws, TlsStream& tls, const bool& client_closed) {
  beast::flat_buffer message;
  for (;;) {
    // Beast answers Pings inside the read and returns only data messages.
    auto [read_error, size] = co_await ws.async_read(message, token);
    if (read_error == websocket::error::closed || is_end_of_stream(read_error)) co_return std::nullopt;
    if (read_error && client_closed) co_return std::nullopt;
    if (read_error) co_return Error{"读取 WebSocket 失败: " + read_error.message()};
    if (auto write_error = co_await tls.write_all(bytes_of(message).data(), size)) {
      co_return Error{"写入 TLS 失败: " + write_error.message()};
    }
    message.consume(message.size());
    if (message.capacity() > kept_message_capacity) message.shrink_to_fit();
  }
}

// The end of the server's stream: a close notification, or the server
// closing TCP without one, ends the direction in order; anything else is a
// read error.
std::optional<Error> server_stream_ended(const boost::system::error_code& ec) {
  if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated) return std::nullopt;
  return Error{"读取 TLS 失败: " + ec.message()};
}

// `client_closed`: the client's Close has arrived; writes fail from then on,
// and that ends this direction quietly.
asio::awaitable<std::optional<Error>> server_to_client(WebSocket& ws, TlsStream& tls, const bool& client_closed) {
  // The read buffer is held only while the server is sending: taken when data
  // is there to read, given back once everything read has gone to the client.
  // An idle connection then costs 16 KiB less.
  std::unique_ptr<std::uint8_t[]> buffer;
  ClientStream& client = ws.next_layer();
  ws.binary(true);
  // The last read filled the buffer: the server is streaming, so the next
  // read is tried before a wait is armed (arming one costs a system call).
  bool streaming = false;
  const auto write_failed = [&](const boost::system::error_code& ec) -> std::optional<Error> {
    if (client_closed) return std::nullopt;
    return Error{"写入 WebSocket 失败: " + ec.message()};
  };
  for (;;) {
    boost::system::error_code read_error = asio::error::would_block;
    std::size_t size = 0;
    if (!buffer && streaming) {
      buffer = std::make_unique_for_overwrite<std::uint8_t[]>(relay_read_size);
      std::tie(read_error, size) = tls.read_now(buffer.get(), relay_read_size);
      if (read_error == asio::error::would_block) buffer.reset();
    }
    if (read_error == asio::error::would_block) {
      if (!buffer) {
        if (auto wait_error = co_await tls.wait_readable()) co_return Error{"读取 TLS 失败: " + wait_error.message()};
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(relay_read_size);
      }
      std::tie(read_error, size) = co_await tls.read_some(buffer.get(), relay_read_size);
    }
    if (read_error) co_return server_stream_ended(read_error);
    // One Binary message per TLS read. When more of the stream is already
    // here, the messages are held and leave together; whatever was read is
    // sent before the direction ends, whatever ends it.
    if (tls.has_pending()) client.hold_writes(messages_per_write * (relay_read_size + message_header_size));
    for (int sent = 1;; ++sent) {
      auto [write_error, written] = co_await ws.async_write(asio::buffer(buffer.get(), size), token);
      if (write_error) co_return write_failed(write_error);
      streaming = size == relay_read_size;
      if (!client.holding() || sent == messages_per_write || !tls.has_pending()) break;
      std::tie(read_error, size) = tls.read_now(buffer.get(), relay_read_size);
      if (read_error) break;
    }
    if (client.holding()) {
      if (auto write_error = co_await client.flush()) co_return write_failed(write_error);
    }
    if (read_error && read_error != asio::error::would_block) co_return server_stream_ended(read_error);
    if (!tls.has_pending()) buffer.reset();
  }
}

// Copies both ways until one direction ends; the other is abandoned where it
// waits, and the first result is the relay's.
asio::awaitable<std::optional<Error>> relay(WebSocket& ws, TlsStream& tls) {
  using namespace asio::experimental::awaitable_operators;
  bool client_closed = false;
  ws.control_callback([&](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::close) client_closed = true;
  });
  auto finished = co_await (client_to_server(ws, tls, client_closed) || server_to_client(ws, tls, client_closed));
  ws.control_callback();
  co_return std::visit([](auto& result) { return std::move(result); }, finished);
}

// Stages 2 to 8: everything up to the success response. Returns the TLS
// stream to relay, or the session's result when it ended earlier. Whatever
// the opening needed is released when it returns, before the relay starts.
asio::awaitable<std::variant<TlsStream, std::optional<Error>>> open_session(WebSocket& ws, const std::string& id,
                                                                             Metrics& metrics) {
  using Ended = std::optional<Error>;
  // 2. The first message. A Ping or Pong before it ends the connection: the
  // callback closes the socket, which fails the read at once and keeps Beast
  // from answering.
  beast::flat_buffer first;
  bool control_frame_first = false;
  ws.control_callback([&](websocket::frame_type kind, beast::string_view) {
    if (kind == websocket::frame_type::close) return;
    control_frame_first = true;
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws).close(ignored);
  });
  auto [read_error, read_size] = co_await ws.async_read(first, token);
  ws.control_callback();
  if (control_frame_first) co_return Ended(Error{"非预期的 WebSocket 首帧"});
  if (read_error == websocket::error::closed) co_return Ended();
  if (is_end_of_stream(read_error)) co_return Ended(Error{"WebSocket 连接已关闭"});
  if (read_error) co_return Ended(Error{"读取 WebSocket 消息失败: " + read_error.message()});

  // 3. Decode; Text and Binary payloads alike.
  auto request = rdcleanpath::parse_request(bytes_of(first));
  first = beast::flat_buffer();
  if (!request) {
    co_await reject(ws, id, bad_request, "RDCleanPath 解析失败: " + request.error().message);
    co_return Ended();
  }

  // 4. Destination, recorded before the X.224 request is checked.
  const Destination destination = parse_destination(request->destination);
  record_destination(metrics, id, destination.host, destination.port);

  // 5. The X.224 Connection Request to forward.
  if (!request->x224_connection_pdu) {
    co_await reject(ws, id, bad_request, "缺少 x224_connection_pdu");
    co_return Ended();
  }

  // 6. Server leg.
  auto server = co_await connect_to_server(destination.host, destination.port);
  if (!server) {
    co_await reject(ws, id, server_failure, "连接 RDP 服务器失败: " + server.error().message);
    co_return Ended();
  }
  record_server_reached(metrics, id);

  if (auto [ec, n] = co_await asio::async_write(*server, asio::buffer(*request->x224_connection_pdu), token); ec) {
    co_await reject(ws, id, server_failure, "发送 x224_connection_pdu 失败: " + ec.message());
    co_return Ended();
  }

  const auto x224 = co_await read_x224_reply(*server);
  if (!x224) {
    co_await reject(ws, id, server_failure, "读取 x224 响应超时");
    co_return Ended();
  }
  if (!*x224) {
    co_await reject(ws, id, server_failure, "读取 x224 响应失败: " + x224->error().message);
    co_return Ended();
  }

  // 7. TLS with the server.
  TlsUpgrade tls = co_await upgrade_to_tls(std::move(*server), destination.host);
  if (tls.failure == TlsUpgrade::Failure::context) {
    co_await reject(ws, id, server_failure, "创建 TLSConnector 失败: " + tls.error);
    co_return Ended();
  }
  if (tls.failure == TlsUpgrade::Failure::handshake) {
    co_await reject(ws, id, server_failure, "TLS 握手失败: " + tls.error);
    co_return Ended();
  }

  // 8. The success response.
  const std::string address = destination.host + ":" + std::to_string(destination.port);
  const asn1::Bytes certificates[] = {std::move(tls.certificate)};
  const auto response = rdcleanpath::create_success_response(address, **x224, certificates);
  ws.binary(true);
  if (auto [ec, n] = co_await ws.async_write(asio::buffer(response), token); ec) {
    co_return Ended(Error{"发送 RDCleanPath 响应失败: " + ec.message()});
  }
  record_forwarding(metrics, id);
  co_return std::move(*tls.stream);
}

// The WebSocket is up.
struct Upgraded {};

// Stage 1, the WebSocket handshake, and the one place that decides what a
// connection is: its first request is read here, not inside Beast's accept,
// and goes to the KDC proxy (kdc_proxy.hpp) when its target is the proxy's;
// any other request is an upgrade request, and a web page from a foreign
// origin is refused with 403 before anything else happens. Path, other
// headers and offered extensions of an upgrade request are not looked at.
// Returns the connection's result when it ended here.
asio::awaitable<std::variant<Upgraded, std::optional<Error>>> accept_websocket(WebSocket& ws, const std::string& id,
                                                                               Metrics& metrics) {
  using namespace asio::experimental::awaitable_operators;
  using Ended = std::optional<Error>;
  ClientStream& client = ws.next_layer();
  beast::flat_buffer buffer(2 * max_request_size);
  RequestHeadParser parser;
  parser.header_limit(max_request_size);
  const auto kdc_deadline = std::chrono::steady_clock::now() + kdc_request_time_limit;
  auto head = co_await (http::async_read_header(client, buffer, parser, token) ||
                        kdc_request_deadline(buffer, parser, kdc_deadline));
  if (head.index() == 1) {
    co_return Ended(co_await serve_kdc_proxy(client, buffer, parser, asio::error::timed_out, id, metrics, kdc_deadline));
  }
  auto [read_error, read_size] = std::get<0>(head);
  // The request line may have been read even when the rest of the head failed.
  if (is_kdc_proxy_target(parser.get().target())) {
    co_return Ended(co_await serve_kdc_proxy(client, buffer, parser, read_error, id, metrics, kdc_deadline));
  }
  // The rest of the request: none, for an upgrade request.
  if (!read_error && !parser.is_done()) {
    std::tie(read_error, read_size) = co_await http::async_read(client, buffer, parser, token);
  }
  // As Beast reports it: a client that leaves before a whole request closed the stream.
  if (read_error == http::error::end_of_stream) read_error = websocket::error::closed;
  if (read_error) co_return Ended(Error{"WebSocket 握手失败: " + read_error.message()});
  const auto& request = parser.get();

  const auto [first_origin, end_origins] = request.equal_range(http::field::origin);
  for (auto origin = first_origin; origin != end_origins; ++origin) {
    if (origin_allowed(origin->value(), allowed_origins())) continue;
    http::response<http::string_body> refusal{http::status::forbidden, request.version()};
    refusal.set(http::field::content_type, "text/plain");
    refusal.body() = "origin not allowed\n";
    refusal.keep_alive(false);
    refusal.prepare_payload();
    co_await http::async_write(client, refusal, token);  // a failure changes nothing: the connection ends
    co_return Ended(Error{"WebSocket 握手失败: origin not allowed: " + printable(origin->value())});
  }

  // Whatever the client sent after the request belongs to the WebSocket stream.
  client.put_back(buffer.cdata());
  if (auto [ec] = co_await ws.async_accept(request, token); ec) {
    co_return Ended(Error{"WebSocket 握手失败: " + ec.message()});
  }
  co_return Upgraded{};
}

}  // namespace

asio::awaitable<std::optional<Error>> handle_connection(tcp::socket client, std::string id,
                                                        std::shared_ptr<Metrics> metrics) {
  WebSocket ws(std::move(client));
  ws.read_message_max(max_message_size);
  ws.auto_fragment(false);

  auto accepted = co_await accept_websocket(ws, id, *metrics);
  if (auto* ended = std::get_if<std::optional<Error>>(&accepted)) co_return std::move(*ended);

  auto opened = co_await open_session(ws, id, *metrics);
  if (auto* ended = std::get_if<std::optional<Error>>(&opened)) co_return std::move(*ended);

  // 9. Relay until one side ends.
  co_return co_await relay(ws, std::get<TlsStream>(opened));
}

}  // namespace quillgate::proxy
