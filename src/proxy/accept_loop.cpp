#include "proxy/accept_loop.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <algorithm>
#include <chrono>
#include <exception>

#include "proxy/log.hpp"
#include "proxy/platform.hpp"
#include "proxy/session.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

constexpr auto token = asio::as_tuple(asio::use_awaitable);

// Runs one session. The guard arrives as a parameter, so it lives in the
// coroutine frame from the moment the task is created: a task destroyed
// before it ever ran (event loop shut down) still removes its entry.
asio::awaitable<void> connection_task(tcp::socket socket, std::string id, std::shared_ptr<Metrics> metrics,
                                      [[maybe_unused]] ConnectionGuard guard) {
  std::optional<Error> failure;
  try {
    failure = co_await handle_connection(std::move(socket), id, std::move(metrics));
  } catch (const std::exception& e) {
    // A fault inside the session ends only this connection.
    failure = Error{e.what()};
  } catch (...) {
    failure = Error{"unknown failure"};
  }
  if (failure) log_line(id, "连接处理失败: " + failure->message);
}

}  // namespace

asio::awaitable<std::optional<Error>> run_server(tcp::acceptor listener, WorkerLoops& workers,
                                                 std::shared_ptr<Metrics> metrics,
                                                 ShutdownSignal::Receiver shutdown) {
  using namespace asio::experimental::awaitable_operators;
  // After a shortage (no descriptors or memory for the next connection) the
  // listener stays readable, so accepting pauses instead of spinning; live
  // sessions go on, and the pause doubles while the shortage lasts.
  constexpr auto first_pause = std::chrono::milliseconds(20);
  constexpr auto longest_pause = std::chrono::seconds(1);
  auto pause = first_pause;
  asio::steady_timer pause_timer(listener.get_executor());
  for (;;) {
    // Checked before every wait, so that a flood of ready connections can
    // never keep the loop from seeing a stop.
    if (shutdown.fired()) co_return std::nullopt;
    tcp::socket socket(workers.next());
    auto accepted = co_await (shutdown.wait() || platform::async_accept_connection(listener, socket));
    if (accepted.index() == 0) co_return std::nullopt;
    if (auto ec = std::get<1>(accepted)) {
      switch (platform::classify_accept_error(ec)) {
        case platform::AcceptFailure::again:
          continue;
        case platform::AcceptFailure::pause:
          pause_timer.expires_after(pause);
          pause = std::min<std::chrono::milliseconds>(pause * 2, longest_pause);
          if ((co_await (shutdown.wait() || pause_timer.async_wait(token))).index() == 0) co_return std::nullopt;
          continue;
        case platform::AcceptFailure::fatal:
          co_return Error{"accept 失败: " + ec.message()};
      }
    }
    pause = first_pause;

    std::string id = register_connection(*metrics);
    ConnectionGuard guard(id, metrics);
    const auto executor = socket.get_executor();
    asio::co_spawn(executor, connection_task(std::move(socket), std::move(id), metrics, std::move(guard)),
                   asio::detached);
  }
}

}  // namespace quillgate::proxy
