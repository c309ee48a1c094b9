// What the parts of quillbench share: the workload protocol between the
// client and the backend, the paths a client can take to the backend, and
// the client's view of a connection.
#pragma once

#include <time.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillbench {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using asio::awaitable;
using asio::use_awaitable;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

inline const Bytes x224_request = {0x03, 0x00, 0x00, 0x13, 0x0E, 0xE0, 0x00, 0x00, 0x00, 0x00,
                                   0x00, 0x01, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00};
inline const Bytes x224_confirm = {0x03, 0x00, 0x00, 0x13, 0x0E, 0xD0, 0x00, 0x00, 0x12, 0x34,
                                   0x00, 0x02, 0x01, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00};
inline constexpr std::size_t chunk = 16384;

inline double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Nanoseconds on CLOCK_MONOTONIC, one clock for every process on the machine:
// the backend stamps a message it sends or receives, the client the other end.
inline std::uint64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

inline void put_u64(std::uint8_t* out, std::uint64_t value) {
  for (int i = 7; i >= 0; --i, value >>= 8) out[i] = static_cast<std::uint8_t>(value);
}

inline std::uint64_t get_u64(const std::uint8_t* in) {
  std::uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value = value << 8 | in[i];
  return value;
}

// Interactive traffic: two small messages a few milliseconds apart, as a key
// press and its release, or a screen update split over two TLS records.
inline constexpr std::size_t interactive_size = 32;
inline constexpr auto interactive_gap = std::chrono::milliseconds(3);

// Small messages, as input events and small screen updates are.
inline constexpr std::size_t small_size = 64;

// Workload commands: one byte and a 64-bit count, big-endian.
//   D: send `count` bytes.   U: take `count` bytes, then answer one byte.
//   E: echo, until the connection ends.
//   I: `count` rounds of: take two interactive messages, then answer the
//      CLOCK_MONOTONIC time at which the second was in (8 bytes).
//   O: `count` rounds of: on one byte from the client, send two interactive
//      messages, the second carrying the time it was sent (first 8 bytes).
//   S: send `count` small messages back to back, each its own TLS record.
//   R: take `count` small messages' bytes, then answer one byte.
// The bulk workloads keep the socket's defaults; E, O and S set TCP_NODELAY,
// as RDP servers do, and I deliberately does not.
enum : std::uint8_t {
  download = 'D',
  upload = 'U',
  echo = 'E',
  interactive_in = 'I',
  interactive_out = 'O',
  small_out = 'S',
  small_in = 'R',
};

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

// The ports of every path, and the processes that relay on them: their
// processor time is what a relayed byte or message costs.
struct Target {
  Path path;
  std::uint16_t gateway_port;
  std::uint16_t backend_port;
  std::uint16_t forwarder_port = 0;
  std::uint16_t loop_forwarder_port = 0;
  int gateway_pid = 0;
  int forwarder_pid = 0;
  int loop_forwarder_pid = 0;

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
  // The relaying process; for the direct path, the client itself, whose TLS
  // endpoint does the work the gateway does in its place.
  int relay_pid() const;
};

// Runs a coroutine to completion on `io`, which must not be running.
template <class T>
T run_on(asio::io_context& io, asio::awaitable<T> task) {
  std::optional<T> result;
  std::exception_ptr failure;
  asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, T value) {
    failure = e;
    if (!e) result.emplace(std::move(value));
  });
  io.restart();
  io.run();
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

// Runs a coroutine to completion on a fresh single-threaded loop.
template <class T>
T run(asio::awaitable<T> task) {
  asio::io_context io(1);
  return run_on(io, std::move(task));
}

// backend.cpp: an RDP server stand-in serving the workloads above.
int run_backend(bool tls12_only, bool no_tickets);

// forwarders.cpp: the two TCP forwarders, each in a process of its own.
int run_forwarder(std::uint16_t backend_port);
int run_loop_forwarder(std::uint16_t backend_port);

// channels.cpp: a connection along `t`, opened and ready for a workload.
awaitable<std::unique_ptr<Channel>> open_channel(const Target& t);

// measurements.cpp: the client's measurements; report.cpp: running them all.
int run_client(const Target& base, bool quick, bool setup_only, const std::string& only);

}  // namespace quillbench
