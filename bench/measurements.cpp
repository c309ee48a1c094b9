// The client's measurements: throughput and processor time per byte, small
// messages, round trips (alone and beside a busy connection), interactive
// delays, set-up rates, memory and connections held.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <openssl/evp.h>
#include <time.h>
#include <unistd.h>

#include "measurements.hpp"

namespace quillbench {

int Target::relay_pid() const {
  switch (path) {
    case Path::gateway: return gateway_pid;
    case Path::forwarded: return forwarder_pid;
    case Path::looped: return loop_forwarder_pid;
    case Path::direct: return ::getpid();
  }
  return ::getpid();
}

namespace {

// Processor time, in nanoseconds, that process `pid` has used so far: all its
// threads, from the scheduler's own accounting (finer than the clock ticks of
// /proc/PID/stat).
std::uint64_t cpu_ns(int pid) {
  std::uint64_t total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks)) {
    std::ifstream schedstat(task.path() / "schedstat");
    std::uint64_t on_cpu = 0;
    if (schedstat >> on_cpu) total += on_cpu;
  }
  return total;
}

// The relaying process's processor time over a timed window.
class CpuWindow {
 public:
  explicit CpuWindow(const Target& t) : pid_(t.relay_pid()), start_(cpu_ns(pid_)) {}
  double ns() const { return static_cast<double>(cpu_ns(pid_) - start_); }

 private:
  int pid_;
  std::uint64_t start_;
};

}  // namespace

double measure_aes_gcm(std::uint64_t bytes) {
  constexpr std::size_t record = 16384;
  const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::uint8_t key[32] = {1}, iv[12] = {2}, header[13] = {23, 3, 3}, tag[16];
  const Bytes in(record, 0xA5);
  Bytes out(record);
  int n = 0;
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key, nullptr) != 1) {
    throw std::runtime_error("AES-256-GCM is not available");
  }
  timespec start, end;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
  for (std::uint64_t done = 0; done < bytes; done += record) {
    ++iv[11];
    EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, nullptr, iv);
    EVP_EncryptUpdate(ctx.get(), nullptr, &n, header, sizeof header);
    EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), record);
    EVP_EncryptFinal_ex(ctx.get(), out.data() + n, &n);
    EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, sizeof tag, tag);
  }
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
  const double ns = (end.tv_sec - start.tv_sec) * 1e9 + (end.tv_nsec - start.tv_nsec);
  return ns / static_cast<double>(bytes);
}

awaitable<Throughput> measure_download(Target t, std::uint64_t bytes) {
  auto channel = co_await open_channel(t);
  co_await channel->command(download, bytes);
  const auto t0 = Clock::now();
  const CpuWindow cpu(t);
  co_await channel->receive_exactly(bytes);
  co_return Throughput{bytes / 1048576.0 / seconds_since(t0), cpu.ns() / bytes};
}

awaitable<Throughput> measure_upload(Target t, std::uint64_t bytes) {
  auto channel = co_await open_channel(t);
  co_await channel->command(upload, bytes);
  const Bytes message(chunk, 0xA5);
  const auto t0 = Clock::now();
  const CpuWindow cpu(t);
  for (std::uint64_t sent = 0; sent < bytes; sent += chunk) co_await channel->send(message.data(), chunk);
  co_await channel->receive_exactly(1);
  co_return Throughput{bytes / 1048576.0 / seconds_since(t0), cpu.ns() / bytes};
}

// Small messages back to back, `count` of them, one way: the relaying
// process's processor time per message, in nanoseconds.
awaitable<double> measure_small(Target t, bool to_server, std::uint64_t count) {
  auto channel = co_await open_channel(t);
  co_await channel->command(to_server ? small_in : small_out, count);
  const CpuWindow cpu(t);
  if (to_server) {
    const Bytes message(small_size, 0x3C);
    for (std::uint64_t i = 0; i < count; ++i) co_await channel->send(message.data(), message.size());
    co_await channel->receive_exactly(1);
  } else {
    co_await channel->receive_exactly(count * small_size);
  }
  co_return cpu.ns() / count;
}

namespace {

// Round trips of 100-byte messages on `channel`, which echoes: {p50, p99} in
// microseconds.
awaitable<std::pair<double, double>> round_trips_of(Channel& channel, int round_trips) {
  const Bytes message(100, 0x42);
  std::vector<double> samples;
  samples.reserve(round_trips);
  for (int i = 0; i < round_trips; ++i) {
    const auto t0 = Clock::now();
    co_await channel.send(message.data(), message.size());
    co_await channel.receive_exactly(message.size());
    samples.push_back(seconds_since(t0) * 1e6);
  }
  std::sort(samples.begin(), samples.end());
  co_return std::pair{samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

}  // namespace

awaitable<std::pair<double, double>> measure_rtt(Target t, int round_trips) {
  auto channel = co_await open_channel(t);
  co_await channel->command(echo, 0);
  co_return co_await round_trips_of(*channel, round_trips);
}

// The round trips of a connection that shares its relaying thread with one
// that moves large messages (60 MiB each, `upward` to the server, else from
// it): with connections dealt to the gateway's threads in turn, the
// neighbour, `threads - 1` idle ones, then the busy one share a thread. The
// busy connection streams from a thread of the client's own, until the round
// trips are done.
std::pair<double, double> measure_neighbour(Target t, int round_trips, bool upward, unsigned threads) {
  asio::io_context io(1);
  std::unique_ptr<Channel> neighbour;
  std::vector<std::unique_ptr<Channel>> idle;
  run_on(io, [&]() -> awaitable<int> {
    neighbour = co_await open_channel(t);
    co_await neighbour->command(echo, 0);
    for (unsigned i = 1; i < threads; ++i) idle.push_back(co_await open_channel(t));
    co_return 0;
  }());
  std::atomic<bool> streaming = false;
  std::atomic<bool> done = false;
  std::exception_ptr failure;
  std::thread busy([&] {
    try {
      run([&]() -> awaitable<int> {
        constexpr std::uint64_t message_size = 60ull << 20;
        auto channel = co_await open_channel(t);
        co_await channel->command(upward ? upload : download, ~std::uint64_t{0} >> 1);
        const Bytes message(upward ? message_size : 0, 0x77);
        streaming = true;
        while (!done) {
          if (upward) {
            co_await channel->send(message.data(), message.size());
          } else {
            co_await channel->receive();
          }
        }
        co_return 0;
      }());
    } catch (...) {
      failure = std::current_exception();
    }
    streaming = true;
  });
  while (!streaming) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // Under way for a moment before the first round trip.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  std::pair<double, double> result;
  try {
    result = run_on(io, round_trips_of(*neighbour, round_trips));
  } catch (...) {
    done = true;
    busy.join();
    throw;
  }
  done = true;
  busy.join();
  if (failure) std::rethrow_exception(failure);
  return result;
}

namespace {

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

}  // namespace

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

}  // namespace quillbench
