#include "metrics.hpp"

#include "clock.hpp"

namespace quillgate::proxy {

ConnectionRegistry::Shard& ConnectionRegistry::shard_for(std::string_view id) {
  return shards_[Hash{}(id) % shard_count];
}

void ConnectionRegistry::insert(ConnectionStatInternal record) {
  Shard& shard = shard_for(record.connection_id);
  std::string key = record.connection_id;
  const std::unique_lock lock(shard.mutex);
  shard.records.insert_or_assign(std::move(key), std::move(record));
}

bool ConnectionRegistry::update(std::string_view id,
                                const std::function<void(ConnectionStatInternal&)>& change) {
  Shard& shard = shard_for(id);
  const std::unique_lock lock(shard.mutex);
  const auto it = shard.records.find(id);
  if (it == shard.records.end()) return false;
  change(it->second);
  return true;
}

bool ConnectionRegistry::remove(std::string_view id) {
  Shard& shard = shard_for(id);
  decltype(shard.records)::node_type removed;
  {
    const std::unique_lock lock(shard.mutex);
    const auto it = shard.records.find(id);
    if (it == shard.records.end()) return false;
    // Extract under the lock, free outside it.
    removed = shard.records.extract(it);
  }
  return true;
}

std::vector<ConnectionStat> ConnectionRegistry::copy_all() const {
  std::vector<ConnectionStat> out;
  for (const Shard& shard : shards_) {
    const std::shared_lock lock(shard.mutex);
    out.reserve(out.size() + shard.records.size());
    for (const auto& [id, record] : shard.records) out.push_back(record);
  }
  return out;
}

std::size_t ConnectionRegistry::size() const {
  std::size_t n = 0;
  for (const Shard& shard : shards_) {
    const std::shared_lock lock(shard.mutex);
    n += shard.records.size();
  }
  return n;
}

std::string register_connection(Metrics& metrics) {
  const std::uint64_t n = metrics.total_connections.fetch_add(1, std::memory_order_relaxed) + 1;
  std::string id = "rdp-" + std::to_string(n);
  metrics.active_connections.fetch_add(1, std::memory_order_relaxed);
  ConnectionStatInternal record;
  record.connection_id = id;
  record.state = state_handshaking;
  record.start_time_ms = wall_clock_ms();
  metrics.connections.insert(std::move(record));
  return id;
}

void record_destination(Metrics& metrics, std::string_view id, std::string_view host, std::uint16_t port) {
  metrics.connections.update(id, [&](ConnectionStatInternal& record) {
    record.rdp_host.emplace(host);
    record.rdp_port = port;
  });
}

void record_server_reached(Metrics& metrics, std::string_view id) {
  metrics.connections.update(id, [](ConnectionStatInternal& record) { record.tcp_connected = true; });
}

void record_forwarding(Metrics& metrics, std::string_view id) {
  metrics.connections.update(id, [](ConnectionStatInternal& record) {
    record.state = state_forwarding;
    record.tls_ready = true;
  });
}

ConnectionGuard::~ConnectionGuard() {
  if (!metrics_) return;
  metrics_->connections.remove(connection_id_);
  metrics_->active_connections.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace quillgate::proxy
