#include "proxy/service.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <mutex>
#include <system_error>
#include <thread>

#include "proxy/accept_loop.hpp"
#include "proxy/clock.hpp"
#include "proxy/log.hpp"
#include "proxy/platform.hpp"
#include "proxy/shutdown.hpp"
#include "proxy/workers.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

struct ProxyHandle {
  std::uint16_t port;
  std::int64_t start_time_ms;
  ShutdownSignal::Sender shutdown;
  std::thread thread;
  std::shared_ptr<Metrics> metrics;
};

// The service slot. `mutex` guards `damaged` and `handle`. `damaged` is set
// when an operation ends abnormally (an exception) while holding the lock,
// and stays set: start and stop then refuse, the reports show no service.
// Taken by start, stop and the reports only, never on the service thread or
// the workers, so stop may hold it while it joins the service thread.
struct ServiceSlot {
  std::mutex mutex;
  bool damaged = false;
  std::optional<ProxyHandle> handle;
};

// Never destroyed: a service still running at process exit keeps using it.
ServiceSlot* const HANDLE = new ServiceSlot;

void run_service(platform::OwnedSocket listener, std::shared_ptr<Metrics> metrics, ShutdownSignal::Receiver shutdown) noexcept {
  try {
    // Declared first, destroyed last: when the worker loops go, every
    // connection task still open is destroyed at its suspension point, its
    // sockets close without another byte, and its guard removes its entry.
    WorkerLoops workers(worker_count());
    asio::io_context main_loop(1);
    tcp::acceptor acceptor(main_loop);
    boost::system::error_code ec;
    acceptor.assign(tcp::v4(), listener.get(), ec);
    if (ec) {
      log_fatal("注册监听器失败: " + ec.message());
      return;
    }
    listener.release();
    asio::co_spawn(main_loop, run_server(std::move(acceptor), workers, metrics, std::move(shutdown)),
                   asio::detached);
    main_loop.run();
  } catch (const std::exception& e) {
    log_fatal(std::string("创建事件循环失败: ") + e.what());
  } catch (...) {
    // Nothing may leave this thread: it would end the host process.
    log_fatal("创建事件循环失败: unknown failure");
  }
}

Expected<std::uint16_t> start_locked(ServiceSlot& slot) {
  platform::Listener listener;
  platform::ListenerStep failed;
  if (const auto ec = platform::open_loopback_listener(listener, failed)) {
    switch (failed) {
      case platform::ListenerStep::listen:
        return Error{"监听失败: " + ec.message()};
      case platform::ListenerStep::port:
        return Error{"获取端口失败: " + ec.message()};
      case platform::ListenerStep::non_blocking:
        return Error{"设置 nonblocking 失败: " + ec.message()};
    }
  }
  const std::uint16_t port = listener.port;
  const std::int64_t start_time_ms = wall_clock_ms();
  auto metrics = std::make_shared<Metrics>();
  auto [sender, receiver] = ShutdownSignal::make();

  std::thread thread;
  try {
    thread = std::thread(run_service, std::move(listener.socket), metrics, std::move(receiver));
  } catch (const std::system_error& e) {
    // The listener went with the thread's arguments and is closed.
    return Error{std::string("创建服务线程失败: ") + e.what()};
  }
  slot.handle.emplace(ProxyHandle{port, start_time_ms, std::move(sender), std::move(thread), std::move(metrics)});
  return port;
}

}  // namespace

Expected<std::uint16_t> start_proxy() {
  ServiceSlot& slot = *HANDLE;
  const std::lock_guard lock(slot.mutex);
  if (slot.damaged) return Error{std::string(damaged_lock_message)};
  if (slot.handle) return slot.handle->port;
  try {
    return start_locked(slot);
  } catch (...) {
    slot.damaged = true;
    return Error{std::string(damaged_lock_message)};
  }
}

std::optional<Error> stop_proxy() {
  ServiceSlot& slot = *HANDLE;
  const std::lock_guard lock(slot.mutex);
  if (slot.damaged) return Error{std::string(damaged_lock_message)};
  if (!slot.handle) return std::nullopt;
  ProxyHandle handle = std::move(*slot.handle);
  slot.handle.reset();
  try {
    handle.shutdown.fire();
    if (handle.thread.joinable()) handle.thread.join();
  } catch (...) {
    if (handle.thread.joinable()) handle.thread.detach();
    slot.damaged = true;
    return Error{std::string(damaged_lock_message)};
  }
  return std::nullopt;
}

StatusSnapshot get_status_snapshot() {
  ServiceSlot& slot = *HANDLE;
  const std::lock_guard lock(slot.mutex);
  if (slot.damaged || !slot.handle) return {};
  const ProxyHandle& handle = *slot.handle;
  return StatusSnapshot{true, handle.port, handle.metrics->active_connections.load(std::memory_order_relaxed),
                        handle.metrics->total_connections.load(std::memory_order_relaxed), handle.start_time_ms};
}

std::vector<ConnectionStat> list_connection_stats() {
  ServiceSlot& slot = *HANDLE;
  const std::lock_guard lock(slot.mutex);
  if (slot.damaged || !slot.handle) return {};
  return slot.handle->metrics->connections.copy_all();
}

}  // namespace quillgate::proxy
