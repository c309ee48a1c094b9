#include "proxy/kdc_proxy.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <algorithm>
#include <array>
#include <memory>

#include "kkdcp.hpp"
#include "proxy/kdc_target.hpp"
#include "proxy/log.hpp"
#include "proxy/origin.hpp"
#include "proxy/server_leg.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using asn1::Bytes;

namespace {

constexpr auto token = asio::as_tuple(asio::use_awaitable);

// A KDC-PROXY-MESSAGE is one Kerberos message and a few bytes of DER;
// tickets with large authorization data stay well below this.
constexpr std::size_t max_body_size = 64 * 1024;
// The KDC's answer, its length prefix not counted.
constexpr std::size_t max_answer_size = 64 * 1024;
// From the start of the KDC's lookup to the end of its answer.
constexpr auto kdc_time_limit = std::chrono::seconds(10);
// Each address of the KDC's name in turn: a realm's name resolves to all its
// domain controllers, and one that does not answer must leave time for the
// next. A KDC on the way answers a connection within a round trip.
constexpr auto kdc_connect_attempt_limit = std::chrono::seconds(3);
// After an answer the gateway sends its FIN, then reads and drops what the
// client still sends until the client closes too, for a while: closing a
// socket with unread bytes resets the connection, and a reset can discard
// the answer at the client before it is read (a refused body is left unread).
constexpr auto linger_time_limit = std::chrono::seconds(1);
constexpr std::size_t max_linger_bytes = 1024 * 1024;

using Response = http::response<http::string_body>;

// An answer other than 200, and its diagnostic line.
struct Refusal {
  http::status status;
  std::string line;
};

// What the answers echo of the request.
struct Asked {
  unsigned version = 11;
  bool head = false;                  // HEAD: the answer has no body
  std::optional<std::string> origin;  // an allowed page's origin: CORS headers go on every answer
};

std::string kdc_text(const Destination& kdc) {
  const bool v6 = kdc.host.find(':') != std::string::npos;
  return printable(v6 ? "[" + kdc.host + "]:" + std::to_string(kdc.port) : kdc.host + ":" + std::to_string(kdc.port));
}

Response make_response(http::status status, const Asked& asked) {
  Response response{status, asked.version};
  if (asked.origin) {
    response.set(http::field::access_control_allow_origin, *asked.origin);
    response.set(http::field::vary, "Origin");
  }
  response.keep_alive(false);
  return response;
}

asio::awaitable<void> drain(ClientStream& client) {
  auto sink = std::make_unique_for_overwrite<std::uint8_t[]>(16384);
  for (std::size_t dropped = 0; dropped < max_linger_bytes;) {
    auto [ec, n] = co_await client.async_read_some(asio::buffer(sink.get(), 16384), token);
    if (ec) co_return;
    dropped += n;
  }
}

// Sends the answer, then ends the connection (see linger_time_limit).
asio::awaitable<boost::system::error_code> answer(ClientStream& client, Response& response) {
  using namespace asio::experimental::awaitable_operators;
  // A 204 carries no Content-Length (RFC 9110, 8.6).
  if (response.result() != http::status::no_content) response.prepare_payload();
  auto [ec, n] = co_await http::async_write(client, response, token);
  if (ec) co_return ec;
  boost::system::error_code ignored;
  client.next_layer().shutdown(tcp::socket::shutdown_send, ignored);
  asio::steady_timer limit(co_await asio::this_coro::executor, linger_time_limit);
  co_await (drain(client) || limit.async_wait(token));
  co_return ec;
}

// Answers with `status` (a failure to send changes nothing: the connection
// ends), then writes `line`.
asio::awaitable<std::optional<Error>> refuse(ClientStream& client, const Asked& asked, http::status status,
                                             std::string line, const std::string& id) {
  Response response = make_response(status, asked);
  if (status == http::status::method_not_allowed) response.set(http::field::allow, "POST, OPTIONS");
  response.set(http::field::content_type, "text/plain");
  if (!asked.head) response.body() = std::string(http::obsolete_reason(status)) + "\n";
  co_await answer(client, response);
  log_line(id, line);
  co_return std::nullopt;
}

// Errors of the head's reading that come from the request itself (a
// malformed or oversized head), which can be answered; the others mean the
// client went away.
std::optional<http::status> answerable(const boost::system::error_code& ec) {
  if (ec.category() != http::make_error_code(http::error::end_of_stream).category()) return std::nullopt;
  if (ec == http::error::end_of_stream || ec == http::error::partial_message) return std::nullopt;
  if (ec == http::error::header_limit) return http::status::request_header_fields_too_large;
  if (ec == http::error::body_limit) return http::status::payload_too_large;
  return http::status::bad_request;
}

bool is_header_list(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~, \t").find(c) != std::string_view::npos;
  });
}

// The answer to OPTIONS: a CORS preflight from an allowed page is told that
// it may POST with the headers it asks for (the proxy reads none but the
// framing ones); any other OPTIONS request is told the methods.
Response preflight_answer(const Asked& asked, const http::request_header<>& request) {
  Response response = make_response(http::status::no_content, asked);
  if (!asked.origin) {
    response.set(http::field::allow, "POST, OPTIONS");
    return response;
  }
  response.set(http::field::access_control_allow_methods, "POST");
  const auto wanted = request[http::field::access_control_request_headers];
  response.set(http::field::access_control_allow_headers, is_header_list(wanted) ? wanted : "Content-Type");
  response.set(http::field::access_control_max_age, "600");
  return response;
}

std::uint32_t big_endian_32(const std::uint8_t* bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 | std::uint32_t{bytes[2]} << 8 | bytes[3];
}

// The KDC's answer, length prefix included, or why there is none.
struct KdcOutcome {
  Bytes answer;
  std::optional<Refusal> failure;
};

// Connects to the KDC, writes the Kerberos message and reads one answer:
// a 4-byte length and that many bytes (RFC 4120, 7.2.2).
asio::awaitable<KdcOutcome> ask_kdc(const Destination& kdc, std::span<const std::uint8_t> message, Metrics& metrics,
                                    const std::string& id) {
  const std::string where = kdc_text(kdc);
  const auto failed = [&](std::string_view step, std::string_view cause) {
    return KdcOutcome{{}, Refusal{http::status::bad_gateway, std::string(step) + where + ": " + std::string(cause)}};
  };
  auto server = co_await connect_to_server(kdc.host, kdc.port, kdc_connect_attempt_limit);
  if (!server) co_return failed("连接 KDC 失败: ", server.error().message);
  record_server_reached(metrics, id);

  if (auto [ec, n] = co_await asio::async_write(*server, asio::buffer(message.data(), message.size()), token); ec) {
    co_return failed("发送 KDC 请求失败: ", ec.message());
  }
  std::array<std::uint8_t, 4> prefix;
  if (auto [ec, n] = co_await asio::async_read(*server, asio::buffer(prefix), token); ec) {
    co_return failed("读取 KDC 响应失败: ", ec.message());
  }
  // Also refuses a length with the top bit set, which RFC 4120 reserves.
  const std::uint32_t length = big_endian_32(prefix.data());
  if (length > max_answer_size) {
    co_return failed("读取 KDC 响应失败: ",
                     "answer of " + std::to_string(length) + " bytes exceeds " + std::to_string(max_answer_size));
  }
  Bytes answer(prefix.size() + length);
  std::copy(prefix.begin(), prefix.end(), answer.begin());
  if (auto [ec, n] = co_await asio::async_read(*server, asio::buffer(answer.data() + 4, length), token); ec) {
    co_return failed("读取 KDC 响应失败: ", ec.message());
  }
  co_return KdcOutcome{std::move(answer), std::nullopt};
}

// The request's body: first what came with the head, then the rest from the
// client until `deadline`. An error code and no bytes when it failed, and
// timed_out when the deadline passed first.
asio::awaitable<std::pair<boost::system::error_code, Bytes>> read_body(ClientStream& client,
                                                                      beast::flat_buffer& buffer,
                                                                      std::size_t size, Clock::time_point deadline) {
  using namespace asio::experimental::awaitable_operators;
  Bytes body(size);
  const std::size_t have = std::min(size, buffer.size());
  asio::buffer_copy(asio::buffer(body), buffer.cdata(), have);
  buffer.consume(have);
  if (have == size) co_return std::pair{boost::system::error_code{}, std::move(body)};
  asio::steady_timer limit(co_await asio::this_coro::executor, deadline);
  auto read = co_await (asio::async_read(client, asio::buffer(body.data() + have, size - have), token) ||
                        limit.async_wait(token));
  if (read.index() == 1) co_return std::pair{make_error_code(asio::error::timed_out), Bytes{}};
  if (auto [ec, n] = std::get<0>(read); ec) co_return std::pair{ec, Bytes{}};
  co_return std::pair{boost::system::error_code{}, std::move(body)};
}

}  // namespace

asio::awaitable<void> kdc_request_deadline(const beast::flat_buffer& received, const RequestHeadParser& head,
                                           Clock::time_point deadline) {
  asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
  for (;;) {
    // Cancelled: the head arrived first.
    if (auto [ec] = co_await timer.async_wait(token); ec) co_return;
    // Once the parser has the request line, it is no longer in `received`.
    const auto target = head.get().target();
    const auto data = received.cdata();
    const std::string_view text(static_cast<const char*>(data.data()), data.size());
    if (target.empty() ? begins_kdc_proxy_request(text) : is_kdc_proxy_target(target)) co_return;
    // A request line too short to tell yet may still name the KDC proxy
    // (one that came in pieces): looked at again each second, so that it
    // cannot outlast its limit by arriving late. Anything else is no KDC
    // proxy request, and has no time limit.
    const bool undecided = target.empty() && may_begin_kdc_proxy_request(text);
    timer.expires_at(undecided ? Clock::now() + std::chrono::seconds(1) : Clock::time_point::max());
  }
}

asio::awaitable<std::optional<Error>> serve_kdc_proxy(ClientStream& client, beast::flat_buffer& buffer,
                                                      RequestHeadParser& head, boost::system::error_code head_error,
                                                      const std::string& id, Metrics& metrics,
                                                      Clock::time_point deadline) {
  using namespace asio::experimental::awaitable_operators;
  using enum http::status;
  Asked asked;
  // Refusals are built here, not as braced temporaries inside the co_await
  // expression: g++ 12 destroys those twice.
  const auto refused = [&](http::status status, std::string line) {
    return refuse(client, asked, status, std::move(line), id);
  };
  if (head_error == asio::error::timed_out) co_return co_await refused(request_timeout, "读取 KDC 代理请求超时");
  if (head_error) {
    std::string failure = "读取 KDC 代理请求失败: " + head_error.message();
    const auto status = answerable(head_error);
    if (!status) co_return Error{std::move(failure)};
    co_return co_await refused(*status, std::move(failure));
  }
  const auto& request = head.get();
  asked.version = request.version();
  asked.head = request.method() == http::verb::head;

  // Pages of other sites are refused before anything else happens; an
  // allowed page gets CORS headers on every answer.
  const auto [first_origin, end_origins] = request.equal_range(http::field::origin);
  for (auto origin = first_origin; origin != end_origins; ++origin) {
    if (origin_allowed(origin->value(), allowed_origins())) continue;
    co_return co_await refused(forbidden, "KDC 代理请求被拒绝: origin not allowed: " + printable(origin->value()));
  }
  if (first_origin != end_origins) asked.origin = std::string(first_origin->value());

  if (request.method() == http::verb::options) {
    Response response = preflight_answer(asked, request);
    if (auto ec = co_await answer(client, response)) co_return Error{"发送 KDC 代理响应失败: " + ec.message()};
    co_return std::nullopt;
  }
  if (request.method() != http::verb::post) {
    co_return co_await refused(method_not_allowed,
                               "KDC 代理请求被拒绝: method not allowed: " + printable(request.method_string()));
  }
  const auto named = kdc_from_target(request.target());
  if (!named) co_return co_await refused(bad_request, "KDC 地址无效: " + named.error().message);

  // One way to frame a body, so that no two readers could see two different
  // requests in the same bytes: a Content-Length, and no Transfer-Encoding.
  if (request.count(http::field::transfer_encoding)) {
    co_return co_await refused(length_required, "KDC 代理请求被拒绝: Transfer-Encoding is not supported");
  }
  const auto length = head.content_length();
  if (!length) co_return co_await refused(length_required, "KDC 代理请求被拒绝: no Content-Length");
  if (*length > max_body_size) {
    co_return co_await refused(payload_too_large, "KDC 代理请求被拒绝: body of " + std::to_string(*length) +
                                                      " bytes exceeds " + std::to_string(max_body_size));
  }
  const auto size = static_cast<std::size_t>(*length);
  if (asked.version >= 11 && buffer.size() < size && beast::iequals(request[http::field::expect], "100-continue")) {
    static constexpr std::string_view go_on = "HTTP/1.1 100 Continue\r\n\r\n";
    if (auto [ec, n] = co_await asio::async_write(client, asio::buffer(go_on), token); ec) {
      co_return Error{"读取 KDC 代理请求失败: " + ec.message()};
    }
  }
  auto [read_error, body] = co_await read_body(client, buffer, size, deadline);
  if (read_error == asio::error::timed_out) co_return co_await refused(request_timeout, "读取 KDC 代理请求超时");
  if (read_error) co_return Error{"读取 KDC 代理请求失败: " + read_error.message()};

  auto message = kkdcp::parse_kdc_proxy_message(body);
  if (!message) co_return co_await refused(bad_request, "KDC-PROXY-MESSAGE 解析失败: " + message.error().message);

  // The KDC named in the URL, or else the realm's.
  std::optional<Destination> kdc = *named;
  if (!kdc && !message->target_domain) {
    co_return co_await refused(bad_request, "KDC 地址无效: no KDC in the URL and no target-domain in the message");
  }
  if (!kdc) {
    auto realm = kdc_from_realm(*message->target_domain);
    if (!realm) co_return co_await refused(bad_request, "KDC 地址无效: " + realm.error().message);
    kdc = std::move(*realm);
  }
  record_destination(metrics, id, kdc->host, kdc->port);

  asio::steady_timer limit(co_await asio::this_coro::executor, kdc_time_limit);
  auto asked_kdc = co_await (ask_kdc(*kdc, message->kerb_message, metrics, id) || limit.async_wait(token));
  if (asked_kdc.index() == 1) co_return co_await refused(gateway_timeout, "KDC 响应超时: " + kdc_text(*kdc));
  auto& outcome = std::get<0>(asked_kdc);
  if (outcome.failure) co_return co_await refused(outcome.failure->status, std::move(outcome.failure->line));

  const Bytes reply = kkdcp::create_kdc_proxy_message(outcome.answer);
  Response response = make_response(ok, asked);
  response.set(http::field::content_type, "application/kerberos");
  response.body().assign(reply.begin(), reply.end());
  if (auto ec = co_await answer(client, response)) co_return Error{"发送 KDC 代理响应失败: " + ec.message()};
  co_return std::nullopt;
}

}  // namespace quillgate::proxy
