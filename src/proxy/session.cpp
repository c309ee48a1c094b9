#include "proxy/session.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
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
#include <array>
#include <chrono>
#include <memory>
#include <variant>

#include "proxy/client_stream.hpp"
#include "proxy/destination.hpp"
#include "proxy/kdc_proxy.hpp"
#include "proxy/kdc_target.hpp"
#include "proxy/log.hpp"
#include "proxy/origin.hpp"
#include "proxy/relay.hpp"
#include "proxy/server_leg.hpp"
#include "proxy/tls.hpp"
#include "preconnection.hpp"
#include "rdcleanpath.hpp"
#include "x224.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr auto token = asio::as_tuple(asio::use_awaitable);

constexpr std::size_t max_message_size = 64 * 1024 * 1024;
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

// Sends the error response and a Close frame without payload, ignoring send
// failures, then writes the diagnostic line.
asio::awaitable<void> reject(WebSocket& ws, std::string_view id, const asn1::Bytes& response, std::string_view line) {
  ws.binary(true);
  co_await ws.async_write(asio::buffer(response), token);
  // Written directly: Beast's own close would wait for the client's answering
  // Close, and the session does not wait for it.
  static constexpr std::uint8_t close_frame[] = {0x88, 0x00};
  co_await asio::async_write(ws.next_layer(), asio::buffer(close_frame), token);
  log_line(id, line);
}

asio::awaitable<void> reject(WebSocket& ws, std::string_view id, std::uint16_t code, std::string_view line) {
  const auto response = rdcleanpath::create_error_response(code);
  co_await reject(ws, id, response, line);
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

  // 5. The X.224 Connection Request to forward, and the pre-connection PDU
  // that goes ahead of it when the client gave a blob.
  if (!request->x224_connection_pdu) {
    co_await reject(ws, id, bad_request, "缺少 x224_connection_pdu");
    co_return Ended();
  }
  asn1::Bytes preconnection_pdu;
  if (request->preconnection_blob) {
    auto pdu = preconnection::create_pdu(*request->preconnection_blob);
    if (!pdu) {
      co_await reject(ws, id, bad_request, pdu.error().message);
      co_return Ended();
    }
    preconnection_pdu = std::move(*pdu);
  }

  // 6. Server leg.
  auto server = co_await connect_to_server(destination.host, destination.port);
  if (!server) {
    const auto response = rdcleanpath::create_error_response({server_failure, server.error().wsa_code, {}});
    co_await reject(ws, id, response, "连接 RDP 服务器失败: " + server.error().message);
    co_return Ended();
  }
  record_server_reached(metrics, id);

  const std::array<asio::const_buffer, 2> first_bytes = {asio::buffer(preconnection_pdu),
                                                         asio::buffer(*request->x224_connection_pdu)};
  if (auto [ec, n] = co_await asio::async_write(*server, first_bytes, token); ec) {
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
  // A server that refuses the security the client offered closes after its
  // reply: no TLS, and the client reads why from the reply itself.
  if (const auto refused = x224::negotiation_failure(**x224)) {
    const auto response = rdcleanpath::create_negotiation_error_response(**x224);
    co_await reject(ws, id, response, "RDP 协商失败: " + x224::describe_failure(*refused));
    co_return Ended();
  }

  // 7. TLS with the server.
  TlsUpgrade tls = co_await upgrade_to_tls(std::move(*server), destination.host);
  if (tls.failure == TlsUpgrade::Failure::context) {
    co_await reject(ws, id, server_failure, "创建 TLSConnector 失败: " + tls.error);
    co_return Ended();
  }
  if (tls.failure == TlsUpgrade::Failure::handshake) {
    const auto response = rdcleanpath::create_error_response({server_failure, {}, tls.alert});
    co_await reject(ws, id, response, "TLS 握手失败: " + tls.error);
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
    // A request line that named the KDC proxy only after its limit had passed.
    if (!read_error && std::chrono::steady_clock::now() >= kdc_deadline) read_error = asio::error::timed_out;
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
  client.read_frames();
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

  // 9. Relay until both sides have ended.
  co_return co_await relay(ws, std::get<TlsStream>(opened));
}

}  // namespace quillgate::proxy
