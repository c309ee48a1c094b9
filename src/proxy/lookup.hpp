#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "expected.hpp"

// Host-name lookups. The system resolver blocks, so lookups run on threads
// of their own, never on an event loop; at most `max_lookup_threads` run at
// once, process-wide, and further lookups wait in line for one of them. A
// task that stops waiting (its connection closed at a stop) never holds up
// the stop: its lookup is skipped if it has not started, and finishes alone
// on its thread if it has.
namespace quillgate::proxy {

inline constexpr unsigned max_lookup_threads = 8;

// A failed lookup: its text, and getaddrinfo's code (0 when the failure is
// not the resolver's) with the socket error as it was right after the call,
// which the code EAI_SYSTEM refers to.
struct LookupError {
  std::string message;
  int code = 0;
  int system_error = 0;
};

// The addresses for `host`, in the resolver's order, or why there are none.
boost::asio::awaitable<Expected<std::vector<boost::asio::ip::tcp::endpoint>, LookupError>> resolve_host(
    std::string host, std::uint16_t port);

// What a lookup thread calls; the system resolver unless a test replaces it.
// An empty `error` means success; `code` and `system_error` as in LookupError.
struct LookupResult {
  std::vector<boost::asio::ip::tcp::endpoint> endpoints;
  std::string error;
  int code = 0;
  int system_error = 0;
};
using Resolver = std::function<LookupResult(const std::string& host, std::uint16_t port)>;
void set_resolver_for_tests(Resolver resolver);

}  // namespace quillgate::proxy
