// The two forwarders: copying bytes between a client and the backend and
// doing nothing else, each in a process of its own so that its processor
// time can be read on its own. A direct client going through one pays one
// more loopback hop than going straight to the backend, the least any
// gateway adds.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <thread>

#include "quillbench.hpp"

namespace quillbench {

namespace {

// The same forwarder as a minimal event loop: one thread serves every
// connection with level-triggered epoll, one receive per readiness event
// and a send of what it read, so three system calls per message each way
// (epoll_wait, recv, send) unless the receiver falls behind. Its figures are
// the floor for an event-driven relay, which serves many connections on each
// thread rather than two threads per connection.
class LoopForwarder {
 public:
  explicit LoopForwarder(std::uint16_t backend_port) : backend_(backend_port) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    epoll_event e{EPOLLIN, {}};
    e.data.ptr = nullptr;  // the listener
    if (epoll_ < 0 || listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 512) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0 ||
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, listener_, &e) != 0) {
      throw std::runtime_error("event-loop forwarder: cannot listen");
    }
    port_ = ntohs(a.sin_port);
  }

  std::uint16_t port() const { return port_; }

  void run() {
    epoll_event events[64];
    std::vector<Connection*> closed;
    for (;;) {
      const int n = ::epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < n; ++i) {
        auto* end = static_cast<End*>(events[i].data.ptr);
        if (!end) {
          accept_one();
          continue;
        }
        Connection* c = end->connection;
        if (c->closed) continue;
        const int k = end->side;
        const std::uint32_t ev = events[i].events;
        bool ok = true;
        // Writable: the direction into this socket goes on, and a parked
        // direction feeding it finishes; readable (or closed by the peer):
        // this socket's own direction goes on.
        if (ev & EPOLLOUT) ok = send_pending(*c, 1 - k) && finish_parked(*c, 1 - k);
        if (ok && (ev & (EPOLLIN | EPOLLHUP | EPOLLERR))) ok = receive(*c, k);
        if (ok && (ev & (EPOLLHUP | EPOLLERR))) {
          if (c->direction[k].done) {
            ok = false;  // reset, or hung up after its end of stream: nothing more can pass
          } else if (c->direction[k].pending()) {
            ok = ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c->fd[k], nullptr) == 0;
            end->parked = true;
          }
        }
        if (ok) ok = update(*c);
        if (!ok || (c->direction[0].done && c->direction[1].done)) {
          for (const int fd : c->fd) ::close(fd);  // also leaves the epoll set
          c->closed = true;
          closed.push_back(c);
        }
      }
      // Freed once no event of this batch can point at them.
      for (Connection* c : closed) delete c;
      if (!closed.empty() && accept_paused_) watch_listener(true);
      closed.clear();
    }
  }

 private:
  struct Connection;
  // What an epoll event points at: one socket of a connection.
  struct End {
    Connection* connection;
    int side;
    std::uint32_t registered;
    // Hung up or reset while its bytes wait for the other socket: out of the
    // epoll set (which would report the hang-up again and again) until they
    // have gone; then what remains of its stream is read at once.
    bool parked = false;
  };
  // Bytes received on fd[side] and not yet sent on to the other socket.
  struct Direction {
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(64 * 1024);
    std::size_t begin = 0, end = 0;
    bool done = false;  // end of stream received and passed on
    bool pending() const { return begin < end; }
  };
  struct Connection {
    int fd[2];
    End ends[2];
    Direction direction[2];
    bool closed = false;
  };


  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

  // One connection per readiness event; the listener stays readable while
  // more wait. A blocking connect, as the threaded forwarder's: loopback
  // answers at once.
  void accept_one() {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      // Out of descriptors: the listener rests until a connection ends.
      if (errno == EMFILE || errno == ENFILE) watch_listener(false);
      return;
    }
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(backend_);
    if (server < 0 || ::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
      if (server < 0 && (errno == EMFILE || errno == ENFILE)) watch_listener(false);
      ::close(client);
      if (server >= 0) ::close(server);
      return;
    }
    auto* c = new Connection{{client, server}, {}, {}};
    for (int side = 0; side < 2; ++side) {
      const int on = 1;
      ::setsockopt(c->fd[side], IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      ::fcntl(c->fd[side], F_SETFL, ::fcntl(c->fd[side], F_GETFL) | O_NONBLOCK);
      c->ends[side] = End{c, side, EPOLLIN};
      epoll_event e{EPOLLIN, {}};
      e.data.ptr = &c->ends[side];
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd[side], &e) != 0) {
        ::close(client);
        ::close(server);  // also leaves the epoll set, if it joined it
        delete c;
        return;
      }
    }
  }

  void watch_listener(bool on) {
    epoll_event e{on ? std::uint32_t{EPOLLIN} : 0u, {}};
    e.data.ptr = nullptr;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, listener_, &e);
    accept_paused_ = !on;
  }

  // A parked direction whose bytes have gone reads the rest of its stream
  // now, up to its end; false when the connection failed.
  static bool finish_parked(Connection& c, int side) {
    const Direction& d = c.direction[side];
    while (c.ends[side].parked && !d.done && !d.pending()) {
      if (!receive(c, side)) return false;
    }
    return true;
  }

  // One receive on fd[side], and the send of what it brought; false when
  // the connection failed (a parked socket that has nothing to read has
  // lost the end of its stream: a reset).
  static bool receive(Connection& c, int side) {
    Direction& d = c.direction[side];
    if (d.done || d.pending()) return true;
    const ssize_t n = ::recv(c.fd[side], d.buffer.data(), d.buffer.size(), 0);
    if (n < 0) return errno == EAGAIN && !c.ends[side].parked;
    if (n == 0) {
      d.done = true;
      ::shutdown(c.fd[1 - side], SHUT_WR);
      return true;
    }
    d.begin = 0;
    d.end = static_cast<std::size_t>(n);
    return send_pending(c, side);
  }

  static bool send_pending(Connection& c, int side) {
    Direction& d = c.direction[side];
    while (d.pending()) {
      const ssize_t n = ::send(c.fd[1 - side], d.buffer.data() + d.begin, d.end - d.begin, MSG_NOSIGNAL);
      if (n < 0) return errno == EAGAIN;
      d.begin += static_cast<std::size_t>(n);
    }
    return true;
  }

  // Each socket waits to be readable while its direction can take more, and
  // writable while the other direction holds bytes for it.
  bool update(Connection& c) {
    for (int side = 0; side < 2; ++side) {
      if (c.ends[side].parked) continue;
      const std::uint32_t wanted = (c.direction[side].done || c.direction[side].pending() ? 0u : std::uint32_t{EPOLLIN}) |
                                   (c.direction[1 - side].pending() ? std::uint32_t{EPOLLOUT} : 0u);
      End& end = c.ends[side];
      if (wanted == end.registered) continue;
      epoll_event e{wanted, {}};
      e.data.ptr = &end;
      if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd[side], &e) != 0) return false;
      end.registered = wanted;
    }
    return true;
  }

  std::uint16_t backend_;
  int epoll_ = -1;
  int listener_ = -1;
  bool accept_paused_ = false;
  std::uint16_t port_ = 0;
};

}  // namespace

// A plain TCP forwarder to the backend: per connection, two threads copying
// bytes and nothing else. Like the gateway (and established WebSocket-to-TCP
// bridges) it sets TCP_NODELAY on both its sockets and changes nothing else.
// A direct client going through it pays exactly one more loopback hop, the
// least any gateway adds, so its figures are the floor under the gateway's.
int run_forwarder(std::uint16_t backend_port) {
  asio::io_context io;  // blocking sockets only; never run
  tcp::acceptor acceptor(io, tcp::endpoint{asio::ip::make_address("127.0.0.1"), 0});
  std::cout << acceptor.local_endpoint().port() << std::endl;
  for (;;) {
    boost::system::error_code ec;
    auto client = std::make_shared<tcp::socket>(io);
    acceptor.accept(*client, ec);
    if (ec) return 1;
    auto server = std::make_shared<tcp::socket>(io);
    server->connect({asio::ip::make_address("127.0.0.1"), backend_port}, ec);
    if (ec) continue;
    client->set_option(tcp::no_delay(true), ec);
    server->set_option(tcp::no_delay(true), ec);
    for (const auto& [from, to] : {std::pair{client, server}, std::pair{server, client}}) {
      std::thread([from, to] {
        std::vector<std::uint8_t> buffer(64 * 1024);
        boost::system::error_code ec;
        for (;;) {
          const std::size_t n = from->read_some(asio::buffer(buffer), ec);
          if (ec || (asio::write(*to, asio::buffer(buffer.data(), n), ec), ec)) break;
        }
        to->shutdown(tcp::socket::shutdown_send, ec);
      }).detach();
    }
  }
}

int run_loop_forwarder(std::uint16_t backend_port) {
  LoopForwarder forwarder(backend_port);
  std::cout << forwarder.port() << std::endl;
  forwarder.run();
  return 0;
}

}  // namespace quillbench
