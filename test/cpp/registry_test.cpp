#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "proxy/metrics.hpp"

namespace quillgate::proxy {
namespace {

TEST(Registry, ConnectionLifecycle) {
  auto metrics = std::make_shared<Metrics>();
  const std::string first = register_connection(*metrics);
  const std::string second = register_connection(*metrics);
  EXPECT_EQ(first, "rdp-1");
  EXPECT_EQ(second, "rdp-2");
  {
    ConnectionGuard guard(first, metrics);
    ConnectionGuard moved(std::move(guard));  // only the moved-to guard cleans up
    record_destination(*metrics, first, "192.0.2.10", 3390);
    record_server_reached(*metrics, first);
    record_forwarding(*metrics, first);
    auto all = metrics->connections.copy_all();
    ASSERT_EQ(all.size(), 2u);
    const auto it = std::find_if(all.begin(), all.end(), [&](auto& r) { return r.connection_id == first; });
    EXPECT_EQ(it->state, "forwarding");
    EXPECT_EQ(it->rdp_host, "192.0.2.10");
    EXPECT_EQ(it->rdp_port, 3390);
    EXPECT_TRUE(it->tcp_connected && it->tls_ready && it->ws_connected);
    EXPECT_GT(it->start_time_ms, 0);
  }
  EXPECT_EQ(metrics->connections.size(), 1u);
  EXPECT_EQ(metrics->active_connections, 1u);
  EXPECT_EQ(metrics->total_connections, 2u);

  // Updates and guards for an entry that is already gone change nothing else.
  record_forwarding(*metrics, first);
  { ConnectionGuard late(first, metrics); }
  EXPECT_EQ(metrics->connections.size(), 1u);
  EXPECT_EQ(metrics->active_connections, 0u);
}

// Writers on several threads while a reader lists: every listed record is
// whole (its fields were set together), ids stay unique, and the registry
// ends empty. Run under ThreadSanitizer by the sanitizer build.
TEST(Registry, ConcurrentWritersAndReaders) {
  auto metrics = std::make_shared<Metrics>();
  constexpr int threads = 6;
  constexpr int per_thread = 2000;
  std::atomic<bool> done{false};
  std::atomic<std::size_t> torn{0};

  std::thread reader([&] {
    while (!done.load()) {
      for (const auto& r : metrics->connections.copy_all()) {
        const bool forwarding = r.state == "forwarding";
        if (forwarding != r.tls_ready || (r.rdp_host.has_value() != r.rdp_port.has_value())) ++torn;
      }
    }
  });
  std::vector<std::thread> writers;
  std::vector<std::vector<std::string>> ids(threads);
  for (int t = 0; t < threads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < per_thread; ++i) {
        std::string id = register_connection(*metrics);
        ids[t].push_back(id);
        ConnectionGuard guard(id, metrics);
        record_destination(*metrics, id, "host", static_cast<std::uint16_t>(i));
        record_server_reached(*metrics, id);
        if (i % 2) record_forwarding(*metrics, id);
      }
    });
  }
  for (auto& w : writers) w.join();
  done = true;
  reader.join();

  std::vector<std::string> all;
  for (auto& v : ids) all.insert(all.end(), v.begin(), v.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(threads * per_thread));
  EXPECT_EQ(torn, 0u);
  EXPECT_EQ(metrics->connections.size(), 0u);
  EXPECT_EQ(metrics->active_connections, 0u);
  EXPECT_EQ(metrics->total_connections, static_cast<std::uint64_t>(threads * per_thread));
}

}  // namespace
}  // namespace quillgate::proxy
