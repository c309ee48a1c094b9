#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
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

// Reads until `n` bytes arrived or the peer closed; returns what arrived.
std::string read_bytes(int fd, std::size_t n) {
  std::string out;
  char buffer[512];
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) break;
    const ssize_t got = ::recv(fd, buffer, std::min(sizeof buffer, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  return out;
}

// A WebSocket client on a raw socket: handshake, then one masked Binary
// message (mask 0, so the payload goes as is). Returns what the gateway
// answered after the 101 response, up to `size` bytes: an error answer's
// Binary frame and a Close frame.
std::string one_request(std::uint16_t port, const std::string& payload, std::size_t size) {
  const int fd = connect_to(port);
  const std::string upgrade =
      "GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  ::send(fd, upgrade.data(), upgrade.size(), MSG_NOSIGNAL);
  std::string head;
  while (head.find("\r\n\r\n") == std::string::npos) {
    const std::string more = read_bytes(fd, 1);
    if (more.empty()) break;
    head += more;
  }
  std::string frame = {'\x82', static_cast<char>(0x80 | payload.size()), 0, 0, 0, 0};
  frame += payload;
  ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
  const std::string answer = read_bytes(fd, size);
  ::close(fd);
  return answer;
}

// Sessions on the worker threads, from several client threads at once, down
// two reject paths: a request that does not decode (400) and a host name
// that is looked up on a thread of its own and refuses (500).
TEST(Service, SessionsRejectFromSeveralThreads) {
  const auto port = start_proxy();
  ASSERT_TRUE(port) << port.error().message;
  const std::string destination = "localhost:1";
  // One Binary frame with the error answer, then a Close frame: 400, or 500
  // with the Windows Sockets code of the refusal (10061).
  const std::string bad_request(
      "\x82\x17\x30\x15\xa0\x04\x02\x02\x0d\x3e\xa1\x0d\x30\x0b\xa0\x03\x02\x01\x01\xa1\x04\x02\x02\x01\x90"
      "\x88\x00", 27);
  const std::string server_failure(
      "\x82\x1d\x30\x1b\xa0\x04\x02\x02\x0d\x3e\xa1\x13\x30\x11\xa0\x03\x02\x01\x01\xa1\x04\x02\x02\x01\xf4"
      "\xa2\x04\x02\x02\x27\x4d\x88\x00", 33);
  std::vector<std::thread> clients;
  std::atomic<int> mismatches{0};
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        const bool decodable = (t + i) % 2 == 0;
        // A decodable request without an X.224 PDU is a 400 too; give it one.
        const std::string payload =
            decodable ? std::string("\x30\x13\xa1\x0b", 4) + destination + std::string("\xa6\x04\x03\x00\x00\x04", 6)
                      : std::string("not a request");
        const std::string& expected = decodable ? server_failure : bad_request;
        const std::string answer = one_request(*port, payload, expected.size());
        if (answer != expected) {
          ++mismatches;
          ADD_FAILURE() << "answer of " << answer.size() << " bytes, first " << std::hex << (answer.empty() ? 0 : (answer[0] & 0xFF));
        }
      }
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(mismatches, 0);
  ASSERT_TRUE(eventually([] { return get_status_snapshot().active_connections == 0; }));
  EXPECT_EQ(get_status_snapshot().total_connections, 20u);
  ASSERT_FALSE(stop_proxy());
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
