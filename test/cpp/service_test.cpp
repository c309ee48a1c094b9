#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "proxy/service.hpp"

namespace quillgate::proxy {
namespace {

int connect_to(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when the peer closed the socket within the time given.
bool closed_by_peer(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) != 1) return false;
  char c;
  return ::recv(fd, &c, 1, 0) <= 0;
}

template <class Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 500; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Service, StartStopWithConnectionsFromSeveralThreads) {
  ASSERT_FALSE(stop_proxy());  // not running: success
  const auto port = start_proxy();
  ASSERT_TRUE(port) << port.error().message;
  const auto again = start_proxy();
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *port);

  constexpr int per_thread = 8;
  std::vector<int> fds(4 * per_thread, -1);
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < per_thread; ++i) fds[t * per_thread + i] = connect_to(*port);
    });
  }
  for (auto& c : clients) c.join();
  for (int fd : fds) ASSERT_GE(fd, 0);

  ASSERT_TRUE(eventually([&] { return list_connection_stats().size() == fds.size(); }));
  const auto status = get_status_snapshot();
  EXPECT_TRUE(status.running);
  EXPECT_EQ(status.port, *port);
  EXPECT_EQ(status.total_connections, fds.size());
  EXPECT_EQ(status.active_connections, fds.size());

  // One client leaves on its own.
  ::close(fds.back());
  fds.pop_back();
  ASSERT_TRUE(eventually([&] { return get_status_snapshot().active_connections == fds.size(); }));

  const auto before = std::chrono::steady_clock::now();
  ASSERT_FALSE(stop_proxy());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
  for (int fd : fds) {
    EXPECT_TRUE(closed_by_peer(fd, 2000));
    ::close(fd);
  }
  EXPECT_FALSE(get_status_snapshot().running);
  EXPECT_TRUE(list_connection_stats().empty());
  EXPECT_FALSE(stop_proxy());
  EXPECT_LT(connect_to(*port), 0);
}

TEST(Service, RestartsNumberingAndSurvivesRepeatedCycles) {
  for (int cycle = 0; cycle < 20; ++cycle) {
    const auto port = start_proxy();
    ASSERT_TRUE(port) << port.error().message;
    const int fd = connect_to(*port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(eventually([] { return list_connection_stats().size() == 1; }));
    EXPECT_EQ(list_connection_stats()[0].connection_id, "rdp-1");
    ASSERT_FALSE(stop_proxy());
    ::close(fd);
  }
}

}  // namespace
}  // namespace quillgate::proxy
