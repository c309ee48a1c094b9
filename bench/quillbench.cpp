// quillbench: measures a client's view of the gateway against a direct TLS
// connection to the same backend.
//
//   quillbench backend [--tls12] [--no-tickets]
//       An RDP server stand-in: reads the X.224 request (one TPKT packet),
//       answers, accepts TLS with a generated EC P-256 certificate, then
//       serves the workload that the client names. Prints its port.
//   quillbench run --gateway PORT --backend PORT --gateway-pid PID [--quick]
//                  [--setup-only] [--only MEASURE]
//       Runs every measurement through the gateway, straight to the backend
//       (direct), through a plain TCP forwarder to the backend, and through an
//       event-loop forwarder, the four interleaved, and prints the results as
//       JSON. The forwarders cost one more loopback hop and nothing else: the
//       floor under any gateway, with two threads per connection or, like the
//       gateway, with one thread serving every connection from an event loop.
//
// Everything is on loopback; every loop is bounded in count and time.
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <time.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "proxy/client_stream.hpp"
#include "proxy/server_leg.hpp"
#include "rdcleanpath.hpp"

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using asio::awaitable;
using asio::use_awaitable;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes x224_request = {0x03, 0x00, 0x00, 0x13, 0x0E, 0xE0, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00};
const Bytes x224_confirm = {0x03, 0x00, 0x00, 0x13, 0x0E, 0xD0, 0x00, 0x00, 0x12, 0x34,
                            0x00, 0x02, 0x01, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00};
constexpr std::size_t chunk = 16384;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Nanoseconds on CLOCK_MONOTONIC, one clock for every process on the machine:
// the backend stamps a message it sends or receives, the client the other end.
std::uint64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void put_u64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 7; i >= 0; --i, value >>= 8) out[i] = static_cast<std::uint8_t>(value);
}

std::uint64_t get_u64(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | in[i];
  return value;
}

// Interactive traffic: two small messages a few milliseconds apart, as a key
// press and its release, or a screen update split over two TLS records.
constexpr std::size_t interactive_size = 32;
constexpr auto interactive_gap = std::chrono::milliseconds(3);

// ---------------------------------------------------------------- backend --

// Workload commands: one byte and a 64-bit count, big-endian.
//   D: send `count` bytes.   U: take `count` bytes, then answer one byte.
//   E: echo, until the connection ends.
//   I: `count` rounds of: take two interactive messages, then answer the
//      CLOCK_MONOTONIC time at which the second was in (8 bytes).
//   O: `count` rounds of: on one byte from the client, send two interactive
//      messages, the second carrying the time it was sent (first 8 bytes).
// The bulk workloads keep the socket's defaults; E and O set TCP_NODELAY, as
// RDP servers do, and I deliberately does not.
enum : std::uint8_t { download = 'D', upload = 'U', echo = 'E', interactive_in = 'I', interactive_out = 'O' };

ssl::context backend_context(bool tls12_only, bool no_tickets) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("bench.test"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());

  ssl::context ctx(ssl::context::tls_server);
  SSL_CTX_use_certificate(ctx.native_handle(), cert);
  SSL_CTX_use_PrivateKey(ctx.native_handle(), key);
  if (tls12_only) SSL_CTX_set_max_proto_version(ctx.native_handle(), TLS1_2_VERSION);
  if (no_tickets) SSL_CTX_set_num_tickets(ctx.native_handle(), 0);
  X509_free(cert);
  EVP_PKEY_free(key);
  return ctx;
}

awaitable<void> serve(tcp::socket socket, ssl::context& ctx) {
  auto request = co_await quillgate::proxy::read_tpckt_packet(socket);
  if (!request) co_return;
  co_await asio::async_write(socket, asio::buffer(x224_confirm), use_awaitable);
  ssl::stream<tcp::socket> tls(std::move(socket), ctx);
  co_await tls.async_handshake(ssl::stream_base::server, use_awaitable);
  static const Bytes payload(chunk, 0x5A);
  Bytes buffer(chunk);
  for (;;) {
    std::uint8_t command[9];
    co_await asio::async_read(tls, asio::buffer(command), use_awaitable);
    std::uint64_t count = get_u64(command + 1);
    if (command[0] == download) {
      while (count > 0) {
        const std::size_t n = std::min<std::uint64_t>(count, chunk);
        co_await asio::async_write(tls, asio::buffer(payload.data(), n), use_awaitable);
        count -= n;
      }
    } else if (command[0] == upload) {
      while (count > 0) count -= co_await tls.async_read_some(asio::buffer(buffer), use_awaitable);
      co_await asio::async_write(tls, asio::buffer(payload.data(), 1), use_awaitable);
    } else if (command[0] == interactive_in) {
      // No TCP_NODELAY here, and no answer before both messages are in: the
      // first one's acknowledgement waits for the delayed-acknowledgement
      // timer, so a sender that holds the second back for it (Nagle's
      // algorithm) shows.
      std::uint8_t pair[2 * interactive_size];
      std::uint8_t arrived[8];
      for (; count > 0; --count) {
        co_await asio::async_read(tls, asio::buffer(pair), use_awaitable);
        put_u64(arrived, monotonic_ns());
        co_await asio::async_write(tls, asio::buffer(arrived), use_awaitable);
      }
    } else if (command[0] == interactive_out) {
      // RDP servers set TCP_NODELAY themselves; any stall is then the relay's.
      tls.next_layer().set_option(tcp::no_delay(true));
      asio::steady_timer timer(tls.get_executor());
      std::uint8_t go;
      std::uint8_t message[interactive_size] = {};
      for (; count > 0; --count) {
        co_await asio::async_read(tls, asio::buffer(&go, 1), use_awaitable);
        co_await asio::async_write(tls, asio::buffer(message), use_awaitable);
        timer.expires_after(interactive_gap);
        co_await timer.async_wait(use_awaitable);
        put_u64(message, monotonic_ns());
        co_await asio::async_write(tls, asio::buffer(message), use_awaitable);
      }
    } else {
      // As RDP servers do. Without it, the first echo after the handshake is
      // held until the client acknowledges the session tickets (some 40 ms),
      // or not, depending on which arrives first, and the set-up figures
      // measure that race rather than the path.
      tls.next_layer().set_option(tcp::no_delay(true));
      for (;;) {
        const std::size_t n = co_await tls.async_read_some(asio::buffer(buffer), use_awaitable);
        co_await asio::async_write(tls, asio::buffer(buffer.data(), n), use_awaitable);
      }
    }
  }
}

int run_backend(bool tls12_only, bool no_tickets) {
  asio::io_context io(1);
  ssl::context ctx = backend_context(tls12_only, no_tickets);
  tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
  std::cout << acceptor.local_endpoint().port() << std::endl;
  asio::co_spawn(io, [&]() -> awaitable<void> {
    for (;;) {
      tcp::socket socket = co_await acceptor.async_accept(use_awaitable);
      asio::co_spawn(io, serve(std::move(socket), ctx), asio::detached);
    }
  }, asio::detached);
  io.run();
  return 0;
}

// ----------------------------------------------------------------- client --

// A connection as the client sees it, either through the gateway
// (WebSocket, RDCleanPath) or straight to the backend (X.224, then TLS).
class Channel {
 public:
  virtual ~Channel() = default;
  virtual awaitable<void> send(const std::uint8_t* data, std::size_t size) = 0;
  // The next piece of the stream: one WebSocket message, or one TLS read.
  virtual awaitable<std::span<const std::uint8_t>> receive() = 0;

  awaitable<void> command(std::uint8_t op, std::uint64_t count) {
    std::uint8_t bytes[9] = {op};
    put_u64(bytes + 1, count);
    co_await send(bytes, sizeof bytes);
  }
  awaitable<void> receive_exactly(std::size_t total) {
    while (total > 0) total -= std::min(total, (co_await receive()).size());
  }
  // Reads exactly out.size() bytes into `out`; more is a protocol error.
  awaitable<void> receive_into(std::span<std::uint8_t> out) {
    for (std::size_t got = 0; got < out.size();) {
      const auto piece = co_await receive();
      if (piece.size() > out.size() - got) throw std::runtime_error("more bytes than the workload sends");
      std::copy(piece.begin(), piece.end(), out.begin() + got);
      got += piece.size();
    }
  }
};

// Where the client connects: the gateway, the backend itself, or the backend
// through one of the two TCP forwarders.
enum class Path { gateway, direct, forwarded, looped };

struct Target {
  Path path;
  std::uint16_t gateway_port;
  std::uint16_t backend_port;
  std::uint16_t forwarder_port = 0;
  std::uint16_t loop_forwarder_port = 0;
  bool gateway() const { return path == Path::gateway; }
  std::uint16_t port() const {
    switch (path) {
      case Path::gateway: return gateway_port;
      case Path::direct: return backend_port;
      case Path::forwarded: return forwarder_port;
      case Path::looped: return loop_forwarder_port;
    }
    return 0;
  }
};

// A plain TCP forwarder to the backend: per connection, two threads copying
// bytes and nothing else. Like the gateway (and established WebSocket-to-TCP
// bridges) it sets TCP_NODELAY on both its sockets and changes nothing else.
// A direct client going through it pays exactly one more loopback hop, the
// least any gateway adds, so its figures are the floor under the gateway's.
std::uint16_t start_forwarder(std::uint16_t backend_port) {
  static asio::io_context io;  // blocking sockets only; never run
  auto acceptor = std::make_shared<tcp::acceptor>(io, tcp::endpoint{asio::ip::make_address("127.0.0.1"), 0});
  const std::uint16_t port = acceptor->local_endpoint().port();
  std::thread([acceptor, backend_port] {
    for (;;) {
      boost::system::error_code ec;
      auto client = std::make_shared<tcp::socket>(io);
      acceptor->accept(*client, ec);
      if (ec) return;
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
  }).detach();
  return port;
}

// The same forwarder as a minimal event loop: one thread serves every
// connection with level-triggered epoll, one receive per readiness event
// and a send of what it read, so three system calls per message each way
// (epoll_wait, recv, send) unless the receiver falls behind. Its figures are
// the floor for an event-driven relay, which serves many connections on each
// thread rather than two threads per connection.
class LoopForwarder {
 public:
  static std::uint16_t start(std::uint16_t backend_port) {
    auto* forwarder = new LoopForwarder(backend_port);  // lives as long as the process
    const std::uint16_t port = forwarder->port_;
    std::thread([forwarder] { forwarder->run(); }).detach();
    return port;
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

  static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  }

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

Bytes rdcleanpath_request(std::uint16_t backend_port) {
  using quillgate::asn1::append_tlv;
  const std::string destination = "127.0.0.1:" + std::to_string(backend_port);
  Bytes inner;
  append_tlv(inner, 0x0C, {reinterpret_cast<const std::uint8_t*>(destination.data()), destination.size()});
  Bytes x224;
  append_tlv(x224, 0x04, x224_request);
  Bytes body = {0xA0, 0x04, 0x02, 0x02, 0x0D, 0x3E};
  append_tlv(body, 0xA2, inner);
  append_tlv(body, 0xA6, x224);
  return quillgate::asn1::encode_sequence(body);
}

class GatewayChannel : public Channel {
 public:
  explicit GatewayChannel(tcp::socket socket) : ws_(std::move(socket)) {}

  awaitable<void> open(const Target& t) {
    co_await ws_.async_handshake("127.0.0.1", "/", use_awaitable);
    ws_.binary(true);
    ws_.auto_fragment(false);
    // Mask a whole 16 KiB message at once: one write per message, as a
    // browser does, rather than one per 4 KiB.
    ws_.write_buffer_bytes(64 * 1024);
    const Bytes request = rdcleanpath_request(t.backend_port);
    co_await ws_.async_write(asio::buffer(request), use_awaitable);
    co_await ws_.async_read(buffer_, use_awaitable);
    const auto* p = static_cast<const std::uint8_t*>(buffer_.data().data());
    // A success response starts with the version element; an error one with [1].
    if (buffer_.size() < 8 || p[2 + (p[1] & 0x80 ? (p[1] & 0x7F) : 0)] != 0xA0) {
      throw std::runtime_error("the gateway refused the connection");
    }
  }
  awaitable<void> send(const std::uint8_t* data, std::size_t size) override {
    co_await ws_.async_write(asio::buffer(data, size), use_awaitable);
  }
  awaitable<std::span<const std::uint8_t>> receive() override {
    buffer_.consume(buffer_.size());
    co_await ws_.async_read(buffer_, use_awaitable);
    co_return std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(buffer_.data().data()), buffer_.size());
  }

 private:
  // Frames are read through a 64 KiB read-ahead buffer, as a browser reads
  // its socket, rather than Beast's 1.5 KiB frame-header buffer, with which
  // each 16 KiB message costs the client two receive calls. The direct client's
  // TLS engine likewise reads whole records into a buffer of its own.
  websocket::stream<quillgate::proxy::ClientStream> ws_;
  beast::flat_buffer buffer_;
};

ssl::context& direct_context() {
  static ssl::context ctx = [] {
    ssl::context c(ssl::context::tls_client);
    c.set_verify_mode(ssl::verify_none);
    return c;
  }();
  return ctx;
}

class DirectChannel : public Channel {
 public:
  explicit DirectChannel(tcp::socket socket) : tls_(std::move(socket), direct_context()), buffer_(chunk) {}

  awaitable<void> open() {
    co_await asio::async_write(tls_.next_layer(), asio::buffer(x224_request), use_awaitable);
    auto reply = co_await quillgate::proxy::read_tpckt_packet(tls_.next_layer());
    if (!reply) throw std::runtime_error(reply.error().message);
    co_await tls_.async_handshake(ssl::stream_base::client, use_awaitable);
  }
  awaitable<void> send(const std::uint8_t* data, std::size_t size) override {
    co_await asio::async_write(tls_, asio::buffer(data, size), use_awaitable);
  }
  awaitable<std::span<const std::uint8_t>> receive() override {
    const std::size_t n = co_await tls_.async_read_some(asio::buffer(buffer_), use_awaitable);
    co_return std::span<const std::uint8_t>(buffer_.data(), n);
  }

 private:
  ssl::stream<tcp::socket> tls_;
  Bytes buffer_;
};

awaitable<std::unique_ptr<Channel>> open_channel(const Target& t) {
  auto executor = co_await asio::this_coro::executor;
  tcp::socket socket(executor);
  co_await socket.async_connect({asio::ip::make_address("127.0.0.1"), t.port()}, use_awaitable);
  // As browsers do: the client's own small writes are never held back.
  socket.set_option(tcp::no_delay(true));
  if (t.gateway()) {
    auto channel = std::make_unique<GatewayChannel>(std::move(socket));
    co_await channel->open(t);
    co_return channel;
  }
  auto channel = std::make_unique<DirectChannel>(std::move(socket));
  co_await channel->open();
  co_return channel;
}

// Runs a coroutine to completion on a fresh single-threaded loop.
template <class T>
T run(asio::awaitable<T> task) {
  asio::io_context io(1);
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result.emplace(std::move(value));
  });
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// ---------------------------------------------------------- measurements --

awaitable<double> measure_download(Target t, std::uint64_t bytes) {
  auto channel = co_await open_channel(t);
  co_await channel->command(download, bytes);
  const auto t0 = Clock::now();
  co_await channel->receive_exactly(bytes);
  co_return bytes / 1048576.0 / seconds_since(t0);
}

awaitable<double> measure_upload(Target t, std::uint64_t bytes) {
  auto channel = co_await open_channel(t);
  co_await channel->command(upload, bytes);
  const Bytes message(chunk, 0xA5);
  const auto t0 = Clock::now();
  for (std::uint64_t sent = 0; sent < bytes; sent += chunk) co_await channel->send(message.data(), chunk);
  co_await channel->receive_exactly(1);
  co_return bytes / 1048576.0 / seconds_since(t0);
}

// Round trips of 100-byte messages: {p50, p99} in microseconds.
awaitable<std::pair<double, double>> measure_rtt(Target t, int round_trips) {
  auto channel = co_await open_channel(t);
  co_await channel->command(echo, 0);
  const Bytes message(100, 0x42);
  std::vector<double> samples;
  samples.reserve(round_trips);
  for (int i = 0; i < round_trips; ++i) {
    const auto t0 = Clock::now();
    co_await channel->send(message.data(), message.size());
    co_await channel->receive_exactly(message.size());
    samples.push_back(seconds_since(t0) * 1e6);
  }
  std::sort(samples.begin(), samples.end());
  co_return std::pair{samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// One complete short connection: open, one verified echo, close. The echo
// command and the probe travel as one client message, so that the figure is
// the set-up alone; two small messages back to back are the interactive
// measure's subject.
awaitable<void> short_connection(Target t) {
  auto channel = co_await open_channel(t);
  static const std::uint8_t probe[25] = {echo, 0, 0, 0, 0, 0, 0, 0, 0, 'q', 'u', 'i', 'l', 'l', 'g', 'a', 't',
                                         'e', '-', 'p', 'r', 'o', 'b', 'e', '!'};
  co_await channel->send(probe, sizeof probe);
  std::size_t got = 9;
  while (got < sizeof probe) {
    const auto piece = co_await channel->receive();
    if (piece.size() > sizeof probe - got || !std::equal(piece.begin(), piece.end(), probe + got)) {
      throw std::runtime_error("echo mismatch");
    }
    got += piece.size();
  }
}

awaitable<void> sleep_for(Clock::duration duration) {
  asio::steady_timer timer(co_await asio::this_coro::executor, duration);
  co_await timer.async_wait(use_awaitable);
}

// How late the second of two interactive messages arrives, `rounds` times in
// one direction: {p50, p99} in milliseconds. The delay runs from the moment
// the sender hands the second message to its TLS or WebSocket layer to the
// moment the receiver has read it, on the clock both processes share, so
// neither the reply path nor the first message's own trip is in the figure.
// The first rounds are not counted: a fresh connection acknowledges its first
// segments at once (Linux's quick-acknowledgement start), which would hide a
// stall that every later message meets. A short pause between rounds keeps
// them apart, well below the 200 ms of idleness after which Linux would start
// acknowledging at once again.
awaitable<std::pair<double, double>> measure_interactive(Target t, bool to_server, int rounds) {
  constexpr int warm_up = 10;
  constexpr auto pause = std::chrono::milliseconds(10);
  auto channel = co_await open_channel(t);
  co_await channel->command(to_server ? interactive_in : interactive_out, warm_up + rounds);
  const std::uint8_t message[interactive_size] = {};
  std::vector<double> samples;
  for (int i = 0; i < warm_up + rounds; ++i) {
    std::uint64_t sent;
    std::uint64_t arrived;
    if (to_server) {
      co_await channel->send(message, sizeof message);
      co_await sleep_for(interactive_gap);
      sent = monotonic_ns();
      co_await channel->send(message, sizeof message);
      std::uint8_t answer[8];
      co_await channel->receive_into(answer);
      arrived = get_u64(answer);
    } else {
      const std::uint8_t go = 'g';
      co_await channel->send(&go, 1);
      std::uint8_t pair[2 * interactive_size];
      co_await channel->receive_into(pair);
      arrived = monotonic_ns();
      sent = get_u64(pair + interactive_size);
    }
    if (i >= warm_up) samples.push_back((static_cast<double>(arrived) - static_cast<double>(sent)) / 1e6);
    co_await sleep_for(pause);
  }
  std::sort(samples.begin(), samples.end());
  co_return std::pair{samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

// Connections per second, `parallel` workers each making `per_worker` in turn.
awaitable<double> measure_setup(Target t, int parallel, int per_worker) {
  auto executor = co_await asio::this_coro::executor;
  const auto t0 = Clock::now();
  int done = 0;
  asio::steady_timer finished(executor, Clock::time_point::max());
  std::exception_ptr failure;
  for (int w = 0; w < parallel; ++w) {
    asio::co_spawn(executor, [&]() -> awaitable<void> {
      for (int i = 0; i < per_worker; ++i) co_await short_connection(t);
    }, [&](std::exception_ptr e) {
      if (e) failure = e;
      if (++done == parallel) finished.cancel();
    });
  }
  co_await finished.async_wait(asio::as_tuple(use_awaitable));
  if (failure) std::rethrow_exception(failure);
  co_return parallel * per_worker / seconds_since(t0);
}

std::size_t rss_bytes(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

// Opens relaying connections up to `count` (8 at a time), each verified by
// an echo. Stops at the first failure.
awaitable<void> open_idle(Target t, std::vector<std::unique_ptr<Channel>>& held, std::size_t count,
                          std::string& failure) {
  auto executor = co_await asio::this_coro::executor;
  std::size_t started = held.size();
  int running = 0;
  asio::steady_timer idle(executor, Clock::time_point::max());
  for (int w = 0; w < 8; ++w) {
    ++running;
    asio::co_spawn(executor, [&]() -> awaitable<void> {
      while (started < count && failure.empty()) {
        ++started;
        auto channel = co_await open_channel(t);
        co_await channel->command(echo, 0);
        const std::uint8_t ping = 'p';
        co_await channel->send(&ping, 1);
        co_await channel->receive_exactly(1);
        held.push_back(std::move(channel));
      }
    }, [&](std::exception_ptr e) {
      if (e && failure.empty()) {
        try {
          std::rethrow_exception(e);
        } catch (const std::exception& x) {
          failure = x.what();
        }
      }
      if (--running == 0) idle.cancel();
    });
  }
  co_await idle.async_wait(asio::as_tuple(use_awaitable));
}

awaitable<std::size_t> count_alive(std::vector<std::unique_ptr<Channel>>& held) {
  std::size_t alive = 0;
  for (auto& channel : held) {
    try {
      const std::uint8_t ping = 'a';
      co_await channel->send(&ping, 1);
      co_await channel->receive_exactly(1);
      ++alive;
    } catch (...) {
    }
  }
  co_return alive;
}

// ------------------------------------------------------------- reporting --

struct Series {
  std::vector<double> gateway;
  std::vector<double> direct;
  std::vector<double> forwarded;
  std::vector<double> looped;

  std::vector<double>& of(Path path) {
    return path == Path::gateway ? gateway : path == Path::direct ? direct : path == Path::forwarded ? forwarded : looped;
  }
};

const char* path_name(Path path) {
  return path == Path::gateway ? " gateway   " : path == Path::direct ? " direct    " : path == Path::forwarded ? " forwarded " : " looped    ";
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

std::string json_array(const std::vector<double>& v) {
  std::ostringstream s;
  s << '[';
  for (std::size_t i = 0; i < v.size(); ++i) s << (i ? "," : "") << v[i];
  return s.str() + ']';
}

std::string series_json(const std::map<std::string, Series>& series) {
  std::ostringstream out;
  out << "\"series\":{";
  bool first = true;
  for (const auto& [name, s] : series) {
    out << (first ? "" : ",") << '"' << name << "\":{\"gateway\":" << json_array(s.gateway)
        << ",\"direct\":" << json_array(s.direct);
    out << ",\"forwarded\":" << json_array(s.forwarded) << ",\"looped\":" << json_array(s.looped);
    out << '}';
    first = false;
  }
  return out.str() + "}";
}

int run_client(const Target& base, int gateway_pid, bool quick, bool setup_only, const std::string& only) {
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  const int rounds = quick ? 1 : 3;
  const std::uint64_t download_bytes = quick ? 8ull << 20 : 512ull << 20;
  const std::uint64_t upload_bytes = quick ? 8ull << 20 : 256ull << 20;
  const int round_trips = quick ? 500 : 20000;
  const int interactive_rounds = quick ? 20 : 200;
  const int sequential = quick ? 20 : 300;
  const int parallel_each = quick ? 5 : 60;

  std::map<std::string, Series> series;
  // Every measure runs on the four paths in turn, round after round.
  const auto each_path = [&](auto&& measure) {
    for (int r = 0; r < rounds; ++r) {
      for (const Path path : {Path::gateway, Path::direct, Path::forwarded, Path::looped}) {
        Target t = base;
        t.path = path;
        measure(t);
      }
    }
  };
  const auto wanted = [&](const std::string& name) { return only.empty() || name.rfind(only, 0) == 0; };
  const auto single = [&](const std::string& name, auto&& measure) {
    if (!wanted(name)) return;
    each_path([&](Target t) {
      const double value = measure(t);
      series[name].of(t.path).push_back(value);
      std::cerr << name << path_name(t.path) << value << std::endl;
    });
  };
  // A measure that yields {p50, p99}: series NAME_p50_UNIT and NAME_p99_UNIT.
  const auto percentiles = [&](const std::string& name, const std::string& unit, auto&& measure) {
    if (!wanted(name)) return;
    each_path([&](Target t) {
      const auto [p50, p99] = measure(t);
      series[name + "_p50_" + unit].of(t.path).push_back(p50);
      series[name + "_p99_" + unit].of(t.path).push_back(p99);
      std::cerr << name << path_name(t.path) << p50 << " / " << p99 << std::endl;
    });
  };
  const auto setup = [&] {
    single("setup_sequential_per_s", [&](Target t) { return run(measure_setup(t, 1, sequential)); });
    single("setup_parallel8_per_s", [&](Target t) { return run(measure_setup(t, 8, parallel_each)); });
  };
  if (setup_only) {
    setup();
    std::cout << '{' << series_json(series) << '}' << std::endl;
    return 0;
  }
  single("download_mib_s", [&](Target t) { return run(measure_download(t, download_bytes)); });
  single("upload_mib_s", [&](Target t) { return run(measure_upload(t, upload_bytes)); });
  percentiles("rtt", "us", [&](Target t) { return run(measure_rtt(t, round_trips)); });
  percentiles("interactive_to_server", "ms",
              [&](Target t) { return run(measure_interactive(t, true, interactive_rounds)); });
  percentiles("interactive_to_client", "ms",
              [&](Target t) { return run(measure_interactive(t, false, interactive_rounds)); });
  setup();

  // Memory per idle relaying connection, and the most connections held.
  std::ostringstream memory;
  if (only.empty()) {
    Target t = base;
    t.path = Path::gateway;
    asio::io_context io(1);
    std::vector<std::unique_ptr<Channel>> held;
    std::string failure;
    const std::size_t before = rss_bytes(gateway_pid);
    memory << "\"memory\":{";
    bool first = true;
    for (const std::size_t n : quick ? std::vector<std::size_t>{1000} : std::vector<std::size_t>{1000, 5000}) {
      asio::co_spawn(io, open_idle(t, held, n, failure), asio::detached);
      io.restart();
      io.run();
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const std::size_t rss = rss_bytes(gateway_pid);
      std::size_t alive = 0;
      asio::co_spawn(io, [&]() -> awaitable<void> { alive = co_await count_alive(held); }, asio::detached);
      io.restart();
      io.run();
      const double per = held.empty() ? 0 : (static_cast<double>(rss) - before) / held.size() / 1024;
      memory << (first ? "" : ",") << '"' << n << "\":{\"held\":" << held.size() << ",\"alive\":" << alive
             << ",\"kib_per_connection\":" << per << '}';
      std::cerr << "memory at " << held.size() << ": " << per << " KiB per connection, " << alive << " alive"
                << (failure.empty() ? "" : " (" + failure + ")") << std::endl;
      first = false;
    }
    memory << "}";

    // Keep opening until something gives, within a cap and a time bound,
    // checking after every batch that every connection is still alive. The
    // figure is the largest number verified alive; what the failure did to the
    // others is reported beside it.
    const std::size_t cap = quick ? 100 : 12000;
    const auto t0 = Clock::now();
    std::size_t most_alive = 0;
    while (held.size() < cap && failure.empty() && seconds_since(t0) < 120) {
      asio::co_spawn(io, open_idle(t, held, std::min(cap, held.size() + 500), failure), asio::detached);
      io.restart();
      io.run();
      if (!failure.empty()) break;
      std::size_t now_alive = 0;
      asio::co_spawn(io, [&]() -> awaitable<void> { now_alive = co_await count_alive(held); }, asio::detached);
      io.restart();
      io.run();
      most_alive = std::max(most_alive, now_alive);
    }
    std::size_t alive = 0;
    asio::co_spawn(io, [&]() -> awaitable<void> { alive = co_await count_alive(held); }, asio::detached);
    io.restart();
    io.run();
    most_alive = std::max(most_alive, alive);
    if (auto at = failure.find(" ["); at != std::string::npos) failure.resize(at);
    memory << ",\"max_concurrent\":{\"opened\":" << held.size() << ",\"held\":" << most_alive
           << ",\"alive_after\":" << alive << ",\"stopped_by\":\""
           << (failure.empty() ? "cap" : failure) << "\"}";
    std::cerr << "max concurrent: " << held.size() << " opened, " << alive << " alive; " << failure << std::endl;
  }

  std::cout << '{' << series_json(series) << (only.empty() ? "," + memory.str() : "") << '}' << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto has = [&](const char* flag) { return std::find(args.begin(), args.end(), flag) != args.end(); };
  const auto value = [&](const char* flag) {
    const auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end() || it + 1 == args.end()) throw std::runtime_error(std::string("missing ") + flag);
    return std::stoi(*(it + 1));
  };
  try {
    if (!args.empty() && args[0] == "backend") return run_backend(has("--tls12"), has("--no-tickets"));
    if (!args.empty() && args[0] == "run") {
      const auto backend = static_cast<std::uint16_t>(value("--backend"));
      const Target t{Path::gateway, static_cast<std::uint16_t>(value("--gateway")), backend, start_forwarder(backend),
                     LoopForwarder::start(backend)};
      const auto only = std::find(args.begin(), args.end(), "--only");
      return run_client(t, value("--gateway-pid"), has("--quick"), has("--setup-only"),
                        only != args.end() && only + 1 != args.end() ? *(only + 1) : "");
    }
    std::cerr << "usage: quillbench backend [--tls12] [--no-tickets]\n"
                 "       quillbench run --gateway P --backend P --gateway-pid N [--quick] [--setup-only] [--only M]\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quillbench: " << e.what() << std::endl;
    return 1;
  }
}
