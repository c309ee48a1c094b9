#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quillgate::proxy {

inline constexpr std::string_view state_handshaking = "handshaking";
inline constexpr std::string_view state_forwarding = "forwarding";

// One live connection's statistics. The registry owns the records; reports
// hand out field-by-field copies (`ConnectionStat`).
struct ConnectionStatInternal {
  std::string connection_id;
  std::string state;
  std::int64_t start_time_ms = 0;
  std::optional<std::string> rdp_host;
  std::optional<std::uint16_t> rdp_port;
  bool ws_connected = true;
  bool tcp_connected = false;
  bool tls_ready = false;
};

using ConnectionStat = ConnectionStatInternal;

// The statistics records of live connections, keyed by connection id.
// Each shard's reader-writer lock protects that shard's map and the records in
// it. Every operation takes one shard lock for its own duration only: no lock
// is held across a wait, and no caller ever holds two.
class ConnectionRegistry {
 public:
  // Inserts or replaces the record stored under its id.
  void insert(ConnectionStatInternal record);

  // Runs `change` on the record under the shard's exclusive lock. Returns
  // false, changing nothing, when no record has this id.
  bool update(std::string_view id, const std::function<void(ConnectionStatInternal&)>& change);

  // Removes and discards the record; false if there was none.
  bool remove(std::string_view id);

  // Copies every record, shard by shard under each shard's shared lock:
  // consistent per record, not a snapshot of the whole registry.
  std::vector<ConnectionStat> copy_all() const;

  std::size_t size() const;

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  struct Shard {
    mutable std::shared_mutex mutex;
    std::unordered_map<std::string, ConnectionStatInternal, Hash, std::equal_to<>> records;
  };
  static constexpr std::size_t shard_count = 32;

  Shard& shard_for(std::string_view id);

  std::array<Shard, shard_count> shards_;
};

// The registry and counters of one run of the service, shared by the service
// record, the accept loop, every connection task and every guard.
struct Metrics {
  ConnectionRegistry connections;
  std::atomic<std::uint64_t> total_connections{0};
  std::atomic<std::uint64_t> active_connections{0};
};

// Counts a newly accepted socket and inserts its "handshaking" record.
// Returns its id, "rdp-N" with N the new total.
std::string register_connection(Metrics& metrics);

// The session's three updates; each is skipped silently when the entry is gone.
void record_destination(Metrics& metrics, std::string_view id, std::string_view host, std::uint16_t port);
void record_server_reached(Metrics& metrics, std::string_view id);
void record_forwarding(Metrics& metrics, std::string_view id);

// Owned by one connection task from its creation: removes the connection's
// record and lowers the active count however the task ends, including when
// the task is destroyed before it ever ran.
class ConnectionGuard {
 public:
  ConnectionGuard(std::string connection_id, std::shared_ptr<Metrics> metrics)
      : connection_id_(std::move(connection_id)), metrics_(std::move(metrics)) {}
  ConnectionGuard(ConnectionGuard&& other) noexcept = default;
  ConnectionGuard& operator=(ConnectionGuard&&) = delete;
  ConnectionGuard(const ConnectionGuard&) = delete;
  ~ConnectionGuard();

 private:
  std::string connection_id_;
  std::shared_ptr<Metrics> metrics_;  // null once moved from
};

}  // namespace quillgate::proxy
