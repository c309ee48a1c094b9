#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "expected.hpp"
#include "proxy/metrics.hpp"

// The process-wide gateway: one listener on 127.0.0.1, one service thread
// running the accept loop, and a pool of event-loop workers running the
// connection tasks.
namespace quillgate::proxy {

inline constexpr std::string_view damaged_lock_message = "代理状态锁已损坏";

struct StatusSnapshot {
  bool running = false;
  std::optional<std::uint16_t> port;
  std::uint64_t active_connections = 0;
  std::uint64_t total_connections = 0;
  std::optional<std::int64_t> start_time_ms;
};

// Starts the service and returns its port; returns the running service's port
// when it is already started.
Expected<std::uint16_t> start_proxy();

// Signals the accept loop, waits for the service thread to end (every open
// connection is closed by then) and forgets the service. Stopping a service
// that is not running succeeds.
std::optional<Error> stop_proxy();

StatusSnapshot get_status_snapshot();
std::vector<ConnectionStat> list_connection_stats();

}  // namespace quillgate::proxy
