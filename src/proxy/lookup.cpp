#include "proxy/lookup.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "proxy/system.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// One lookup, shared between the waiting task and the thread that runs it.
// `mutex` guards everything below it. The thread wakes the task through its
// timer only while the task still waits: a task destroyed at a stop clears
// `timer` first, and the lookup is then skipped or finishes alone.
struct Lookup {
  Lookup(std::string h, std::uint16_t p) : host(std::move(h)), port(p) {}
  const std::string host;
  const std::uint16_t port;
  std::mutex mutex;
  asio::steady_timer* timer = nullptr;
  bool done = false;
  LookupResult result;
};

LookupResult system_resolve(const std::string& host, std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* first = nullptr;
  LookupResult result;
  const std::string service = std::to_string(port);
  os::clear_socket_error();
  const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &first);
  if (rc != 0) {
    result.system_error = os::last_socket_error();
    result.code = rc;
    result.error = os::lookup_error_text(rc);
    return result;
  }
  const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(first, ::freeaddrinfo);
  for (const addrinfo* a = list.get(); a; a = a->ai_next) {
    if (a->ai_family == AF_INET || a->ai_family == AF_INET6) {
      tcp::endpoint endpoint;
      std::memcpy(endpoint.data(), a->ai_addr, a->ai_addrlen);
      endpoint.resize(a->ai_addrlen);
      result.endpoints.push_back(endpoint);
    }
  }
  return result;
}

// A lookup that throws (out of memory, say) fails its connection; nothing
// may escape a lookup thread, where it would end the host process.
LookupResult resolve_safely(const Resolver& resolver, const std::string& host, std::uint16_t port) {
  try {
    return resolver ? resolver(host, port) : system_resolve(host, port);
  } catch (const std::exception& e) {
    LookupResult failed;
    failed.error = std::string("host-name lookup failed: ") + e.what();
    return failed;
  } catch (...) {
    LookupResult failed;
    failed.error = "host-name lookup failed";
    return failed;
  }
}

// The process-wide line of lookups and the threads serving it. `mutex`
// guards everything below it. Threads are started on demand, up to the
// limit, and end when the line is empty; they are detached, so a stop never
// waits for one. Never destroyed: a lookup thread may outlive every service.
class LookupLine {
 public:
  // False when no thread serves the line and none can be started.
  bool submit(std::shared_ptr<Lookup> lookup) {
    const std::lock_guard lock(mutex_);
    waiting_.push_back(std::move(lookup));
    if (threads_ < max_lookup_threads) {
      try {
        std::thread([this] { serve(); }).detach();
        ++threads_;
      } catch (const std::system_error&) {
        if (threads_ == 0) {
          waiting_.pop_back();
          return false;
        }
      }
    }
    return true;
  }

  void set_resolver(Resolver resolver) {
    const std::lock_guard lock(mutex_);
    resolver_ = std::move(resolver);
  }

 private:
  void serve() {
    for (;;) {
      std::shared_ptr<Lookup> lookup;
      Resolver resolver;
      {
        const std::lock_guard lock(mutex_);
        if (waiting_.empty()) {
          --threads_;
          return;
        }
        lookup = std::move(waiting_.front());
        waiting_.pop_front();
        resolver = resolver_;
      }
      {
        const std::lock_guard lock(lookup->mutex);
        if (!lookup->timer) continue;  // nobody waits for it any more
      }
      LookupResult result = resolve_safely(resolver, lookup->host, lookup->port);
      const std::lock_guard lock(lookup->mutex);
      lookup->done = true;
      lookup->result = std::move(result);
      if (lookup->timer) {
        try {
          asio::post(lookup->timer->get_executor(), [lookup] {
            const std::lock_guard lock(lookup->mutex);
            // Expiring (rather than cancelling) also covers a wait not yet started.
            if (lookup->timer) lookup->timer->expires_at(asio::steady_timer::time_point::min());
          });
        } catch (...) {
          // No memory for the wake-up: the waiting task finds the result at
          // its next look, and this thread goes on serving the line.
        }
      }
    }
  }

  std::mutex mutex_;
  std::deque<std::shared_ptr<Lookup>> waiting_;
  unsigned threads_ = 0;
  Resolver resolver_;
};

LookupLine& lookup_line() {
  static LookupLine* const line = new LookupLine;
  return *line;
}

}  // namespace

void set_resolver_for_tests(Resolver resolver) { lookup_line().set_resolver(std::move(resolver)); }

asio::awaitable<Expected<std::vector<tcp::endpoint>, LookupError>> resolve_host(std::string host,
                                                                                std::uint16_t port) {
  // getaddrinfo would silently look up the text before the NUL instead.
  if (host.find('\0') != std::string::npos) co_return LookupError{"host name contains a NUL byte"};
  asio::steady_timer timer(co_await asio::this_coro::executor);
  auto lookup = std::make_shared<Lookup>(std::move(host), port);
  lookup->timer = &timer;
  struct Detach {
    Lookup& lookup;
    ~Detach() {
      const std::lock_guard lock(lookup.mutex);
      lookup.timer = nullptr;
    }
  } detach{*lookup};
  if (!lookup_line().submit(lookup)) co_return LookupError{"no thread for the host-name lookup"};
  for (;;) {
    {
      const std::lock_guard lock(lookup->mutex);
      if (lookup->done) break;
    }
    // Woken by the lookup thread; the periodic look covers a wake-up that
    // could not be sent.
    timer.expires_after(std::chrono::seconds(1));
    co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
  }
  const std::lock_guard lock(lookup->mutex);
  const LookupResult& result = lookup->result;
  if (!result.error.empty()) co_return LookupError{result.error, result.code, result.system_error};
  if (result.endpoints.empty()) co_return LookupError{"could not resolve to any address"};
  co_return std::move(lookup->result.endpoints);
}

}  // namespace quillgate::proxy
