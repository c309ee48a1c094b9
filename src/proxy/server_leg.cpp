#include "proxy/server_leg.hpp"

#include <arpa/inet.h>
#include <netdb.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "proxy/platform.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

constexpr auto token = asio::as_tuple(asio::use_awaitable);

// A host-name lookup shared between the waiting task and the thread that
// runs getaddrinfo. `mutex` guards everything below it. The thread wakes the
// task through its timer only while the task still waits: a task destroyed
// at shutdown clears `timer` first, and the thread then finishes alone.
struct Lookup {
  std::mutex mutex;
  asio::steady_timer* timer = nullptr;
  bool done = false;
  std::vector<tcp::endpoint> endpoints;
  std::string error;
};

void run_lookup(const std::shared_ptr<Lookup>& lookup, const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  std::vector<tcp::endpoint> endpoints;
  std::string error;
  if (rc == EAI_SYSTEM) {
    error = std::system_category().message(errno);
  } else if (rc != 0) {
    error = ::gai_strerror(rc);
  } else {
    for (const addrinfo* a = list; a; a = a->ai_next) {
      if (a->ai_family == AF_INET || a->ai_family == AF_INET6) {
        tcp::endpoint endpoint;
        std::memcpy(endpoint.data(), a->ai_addr, a->ai_addrlen);
        endpoint.resize(a->ai_addrlen);
        endpoints.push_back(endpoint);
      }
    }
    ::freeaddrinfo(list);
  }

  const std::lock_guard lock(lookup->mutex);
  lookup->done = true;
  lookup->endpoints = std::move(endpoints);
  lookup->error = std::move(error);
  if (lookup->timer) {
    asio::post(lookup->timer->get_executor(), [lookup] {
      const std::lock_guard lock(lookup->mutex);
      // Expiring (rather than cancelling) also covers a wait not yet started.
      if (lookup->timer) lookup->timer->expires_at(asio::steady_timer::time_point::min());
    });
  }
}

asio::awaitable<Expected<std::vector<tcp::endpoint>>> resolve(const std::string& host, std::uint16_t port) {
  // getaddrinfo would silently look up the text before the NUL instead.
  if (host.find('\0') != std::string::npos) co_return Error{"host name contains a NUL byte"};
  asio::steady_timer timer(co_await asio::this_coro::executor, asio::steady_timer::time_point::max());
  auto lookup = std::make_shared<Lookup>();
  lookup->timer = &timer;
  struct Detach {
    Lookup& lookup;
    ~Detach() {
      const std::lock_guard lock(lookup.mutex);
      lookup.timer = nullptr;
    }
  } detach{*lookup};
  try {
    std::thread([lookup, host, port] { run_lookup(lookup, host, port); }).detach();
  } catch (const std::system_error& e) {
    co_return Error{e.what()};
  }
  for (;;) {
    {
      const std::lock_guard lock(lookup->mutex);
      if (lookup->done) break;
    }
    co_await timer.async_wait(token);
  }
  const std::lock_guard lock(lookup->mutex);
  if (!lookup->error.empty()) co_return Error{lookup->error};
  if (lookup->endpoints.empty()) co_return Error{"could not resolve to any address"};
  co_return std::move(lookup->endpoints);
}

}  // namespace

bool is_ip_literal(const std::string& host) {
  // The text is read as a C string below: "127.0.0.1\0..." is a host name.
  if (host.find('\0') != std::string::npos) return false;
  unsigned char address[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

asio::awaitable<Expected<tcp::socket>> connect_to_server(const std::string& host, std::uint16_t port) {
  std::vector<tcp::endpoint> candidates;
  if (is_ip_literal(host)) {
    candidates.emplace_back(asio::ip::make_address(host), port);
  } else {
    auto resolved = co_await resolve(host, port);
    if (!resolved) co_return resolved.error();
    candidates = std::move(*resolved);
  }

  boost::system::error_code last;
  for (const auto& endpoint : candidates) {
    tcp::socket socket(co_await asio::this_coro::executor);
    if (auto ec = platform::open_connection_socket(socket, endpoint.protocol())) {
      last = ec;
      continue;
    }
    auto [ec] = co_await socket.async_connect(endpoint, token);
    if (!ec) co_return std::move(socket);
    last = ec;
  }
  co_return Error{last.message()};
}

}  // namespace quillgate::proxy
