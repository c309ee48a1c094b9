#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <thread>

#include "proxy/lookup.hpp"
#include "proxy/server_leg.hpp"

namespace quillgate::proxy {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// A resolver that holds every lookup until released, counting them.
struct HeldResolver {
  std::mutex mutex;
  std::condition_variable changed;
  int running = 0;
  int peak = 0;
  int calls = 0;
  bool released = false;

  LookupResult operator()(std::uint16_t port) {
    std::unique_lock lock(mutex);
    ++calls;
    peak = std::max(peak, ++running);
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
    --running;
    changed.notify_all();
    return {{tcp::endpoint(asio::ip::address_v4::loopback(), port)}, {}};
  }
  bool wait_running(int n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return running == n; });
  }
  void release() {
    const std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
};

void start_lookups(asio::io_context& loop, int count, int& resolved) {
  for (int i = 0; i < count; ++i) {
    asio::co_spawn(loop, [&resolved, i]() -> asio::awaitable<void> {
      auto result = co_await resolve_host("rdp.test", static_cast<std::uint16_t>(1000 + i));
      if (result && result->size() == 1 && result->front().port() == 1000 + i) ++resolved;
    }, asio::detached);
  }
}

TEST(Lookup, BoundedThreadsAndAbandonedLookupsSkipped) {
  // Shared with the lookup threads, which may still be on their way out of
  // it when the test ends, whichever way it ends.
  auto shared = std::make_shared<HeldResolver>();
  HeldResolver& held = *shared;
  set_resolver_for_tests([shared](const std::string&, std::uint16_t port) { return (*shared)(port); });
  struct Restore {
    HeldResolver& held;
    ~Restore() {
      held.release();
      set_resolver_for_tests(nullptr);
    }
  } restore{held};

  // Lookups whose connections go away (a stop destroys their loop) while
  // the threads are busy: the stop does not wait, and the ones still in
  // line are never run.
  int abandoned_resolved = 0;
  {
    std::optional<asio::io_context> loop(std::in_place);
    start_lookups(*loop, 12, abandoned_resolved);
    std::thread runner([&] { loop->run(); });
    const bool all_running = held.wait_running(static_cast<int>(max_lookup_threads));
    loop->stop();
    runner.join();
    loop.reset();
    ASSERT_TRUE(all_running);
  }

  // Twenty more queue behind them; no more than the limit ever run at once.
  asio::io_context loop;
  int resolved = 0;
  start_lookups(loop, 20, resolved);
  std::thread runner([&] { loop.run(); });
  std::this_thread::sleep_for(100ms);  // room for a thread beyond the limit to show up
  held.release();
  runner.join();
  ASSERT_TRUE(held.wait_running(0));

  EXPECT_EQ(held.peak, static_cast<int>(max_lookup_threads));
  EXPECT_EQ(held.calls, static_cast<int>(max_lookup_threads) + 20);
  EXPECT_EQ(resolved, 20);
  EXPECT_EQ(abandoned_resolved, 0);
}

TEST(Lookup, AResolverThatThrowsFailsItsConnectionOnly) {
  set_resolver_for_tests([](const std::string&, std::uint16_t) -> LookupResult { throw std::bad_alloc(); });
  asio::io_context loop;
  std::string error;
  asio::co_spawn(loop, [&]() -> asio::awaitable<void> {
    auto result = co_await resolve_host("rdp.test", 3389);
    if (!result) error = result.error().message;
  }, asio::detached);
  loop.run();
  set_resolver_for_tests(nullptr);
  EXPECT_EQ(error, "host-name lookup failed: std::bad_alloc");
}

TEST(Lookup, AConnectionMovesOnFromAnAddressThatDoesNotAnswerInTime) {
  asio::io_context loop;
  // A listener whose queue is full drops further connection attempts
  // unanswered, as a host that is down behind a firewall does.
  tcp::acceptor silent(loop, {asio::ip::address_v4::loopback(), 0});
  silent.listen(0);
  tcp::socket queued(loop);
  queued.connect(silent.local_endpoint());
  tcp::acceptor answering(loop, {asio::ip::address_v4::loopback(), 0});
  const auto silent_end = silent.local_endpoint();
  const auto answering_end = answering.local_endpoint();
  set_resolver_for_tests([&](const std::string&, std::uint16_t) -> LookupResult {
    return {{silent_end, answering_end}, {}};
  });
  std::optional<tcp::endpoint> reached;
  asio::co_spawn(loop, [&]() -> asio::awaitable<void> {
    auto socket = co_await connect_to_server("kdc.test", 88, 300ms);
    if (socket) reached = socket->remote_endpoint();
  }, asio::detached);
  loop.run();
  set_resolver_for_tests(nullptr);
  EXPECT_EQ(reached, answering_end);
}

}  // namespace
}  // namespace quillgate::proxy
