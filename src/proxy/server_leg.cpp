#include "proxy/server_leg.hpp"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <tuple>
#include <variant>
#include <vector>

#include "proxy/lookup.hpp"
#include "proxy/platform.hpp"
#include "proxy/system.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

constexpr auto token = asio::as_tuple(asio::use_awaitable);

}  // namespace

bool is_ip_literal(const std::string& host) {
  // The text is read as a C string below: "127.0.0.1\0..." is a host name.
  if (host.find('\0') != std::string::npos) return false;
  unsigned char address[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

asio::awaitable<Expected<tcp::socket, ConnectError>> connect_to_server(
    const std::string& host, std::uint16_t port, std::optional<std::chrono::steady_clock::duration> attempt_limit) {
  using namespace asio::experimental::awaitable_operators;
  std::vector<tcp::endpoint> candidates;
  if (is_ip_literal(host)) {
    candidates.emplace_back(asio::ip::make_address(host), port);
  } else {
    auto resolved = co_await resolve_host(host, port);
    if (!resolved) {
      const LookupError& failed = resolved.error();
      std::optional<std::uint16_t> wsa_code;
      if (failed.code != 0) wsa_code = platform::wsa_code_of_lookup_error(failed.code, failed.system_error);
      co_return ConnectError{failed.message, wsa_code};
    }
    candidates = std::move(*resolved);
  }

  boost::system::error_code last;
  for (const auto& endpoint : candidates) {
    tcp::socket socket(co_await asio::this_coro::executor);
    if (auto ec = platform::open_connection_socket(socket, endpoint.protocol())) {
      last = ec;
      continue;
    }
    boost::system::error_code ec;
    if (attempt_limit) {
      asio::steady_timer limit(co_await asio::this_coro::executor, *attempt_limit);
      auto first = co_await (socket.async_connect(endpoint, token) || limit.async_wait(token));
      ec = first.index() == 0 ? std::get<0>(std::get<0>(first)) : make_error_code(asio::error::timed_out);
    } else {
      std::tie(ec) = co_await socket.async_connect(endpoint, token);
    }
    if (!ec) co_return std::move(socket);
    last = ec;
  }
  co_return ConnectError{last.message(), platform::wsa_code_of_socket_error(last)};
}

}  // namespace quillgate::proxy
