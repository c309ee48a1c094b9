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

// The addresses for `host`, in the resolver's order, or its error text.
boost::asio::awaitable<Expected<std::vector<boost::asio::ip::tcp::endpoint>>> resolve_host(std::string host,
                                                                                           std::uint16_t port);

// What a lookup thread calls; the system resolver unless a test replaces it.
// An empty `error` means success.
struct LookupResult {
  std::vector<boost::asio::ip::tcp::endpoint> endpoints;
  std::string error;
};
using Resolver = std::function<LookupResult(const std::string& host, std::uint16_t port)>;
void set_resolver_for_tests(Resolver resolver);

}  // namespace quillgate::proxy
