// quillbench: measures a client's view of the gateway against a direct TLS
// connection to the same backend, and what the relaying costs.
//
//   quillbench backend [--tls12] [--no-tickets]
//       An RDP server stand-in (backend.cpp). Prints its port.
//   quillbench forwarder|loop-forwarder --backend PORT
//       A plain TCP forwarder to the backend, with two threads per connection
//       or as one event loop (forwarders.cpp). Prints its port.
//   quillbench run --gateway PORT --backend PORT --forwarder PORT --loop-forwarder PORT
//                  --gateway-pid PID --forwarder-pid PID --loop-forwarder-pid PID
//                  [--quick] [--setup-only] [--only MEASURE]
//       Runs every measurement (measurements.cpp) through the gateway,
//       straight to the backend (direct), and through each forwarder, the
//       four interleaved, and prints the results as JSON. The forwarders cost
//       one more loopback hop and nothing else: the floor under any gateway,
//       with two threads per connection or, like the gateway, with one thread
//       serving every connection from an event loop. Processor time is read
//       from each relaying process (the client's own for the direct path).
//
// Everything is on loopback; every loop is bounded in count and time.
#include <sys/resource.h>

#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "measurements.hpp"

namespace quillbench {

namespace {

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

}  // namespace

int run_client(const Target& base, bool quick, bool setup_only, const std::string& only) {
  struct rlimit limit;
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);

  const int rounds = quick ? 1 : 3;
  // The cost measures decide the cost targets: more, shorter rounds, so that
  // the median of the rounds' ratios (each round's paths run back to back)
  // weighs the build more than one sitting's drift.
  const int cost_rounds = quick ? 1 : 7;
  const std::uint64_t download_bytes = quick ? 8ull << 20 : 256ull << 20;
  const std::uint64_t upload_bytes = quick ? 8ull << 20 : 128ull << 20;
  const int round_trips = quick ? 500 : 20000;
  const std::uint64_t small_count = quick ? 5000 : 100000;
  const int interactive_rounds = quick ? 20 : 200;
  const int sequential = quick ? 20 : 300;
  const int parallel_each = quick ? 5 : 60;

  std::map<std::string, Series> series;
  // Every measure runs on the four paths in turn, round after round.
  const auto each_path = [&](auto&& measure, int times) {
    for (int r = 0; r < times; ++r) {
      for (const Path path : {Path::gateway, Path::direct, Path::forwarded, Path::looped}) {
        Target t = base;
        t.path = path;
        measure(t);
      }
    }
  };
  const auto wanted = [&](const std::string& name) { return only.empty() || name.rfind(only, 0) == 0; };
  const auto single = [&](const std::string& name, auto&& measure, int times) {
    if (!wanted(name)) return;
    each_path([&](Target t) {
      const double value = measure(t);
      series[name].of(t.path).push_back(value);
      std::cerr << name << path_name(t.path) << value << std::endl;
    }, times);
  };
  // A measure that yields {p50, p99}: series NAME_p50_UNIT and NAME_p99_UNIT.
  const auto percentiles = [&](const std::string& name, const std::string& unit, auto&& measure) {
    if (!wanted(name)) return;
    each_path([&](Target t) {
      const auto [p50, p99] = measure(t);
      series[name + "_p50_" + unit].of(t.path).push_back(p50);
      series[name + "_p99_" + unit].of(t.path).push_back(p99);
      std::cerr << name << path_name(t.path) << p50 << " / " << p99 << std::endl;
    }, rounds);
  };
  const auto setup = [&] {
    single("setup_sequential_per_s", [&](Target t) { return run(measure_setup(t, 1, sequential)); }, rounds);
    single("setup_parallel8_per_s", [&](Target t) { return run(measure_setup(t, 8, parallel_each)); }, rounds);
  };
  if (setup_only) {
    setup();
    std::cout << '{' << series_json(series) << '}' << std::endl;
    return 0;
  }
  // Throughput, and what each byte cost the relaying process.
  const auto throughput = [&](const std::string& name, auto&& measure) {
    if (!wanted(name)) return;
    each_path([&](Target t) {
      if (t.path == Path::gateway) series[name + "_aes_gcm_ns_per_byte"].gateway.push_back(measure_aes_gcm(64ull << 20));
      const Throughput x = measure(t);
      series[name + "_mib_s"].of(t.path).push_back(x.mib_s);
      series[name + "_cpu_ns_per_byte"].of(t.path).push_back(x.ns_per_byte);
      std::cerr << name << path_name(t.path) << x.mib_s << " MiB/s, " << x.ns_per_byte << " ns/B" << std::endl;
    }, cost_rounds);
  };
  throughput("download", [&](Target t) { return run(measure_download(t, download_bytes)); });
  throughput("upload", [&](Target t) { return run(measure_upload(t, upload_bytes)); });
  single("small_to_server_cpu_ns_per_message", [&](Target t) { return run(measure_small(t, true, small_count)); },
         cost_rounds);
  single("small_to_client_cpu_ns_per_message", [&](Target t) { return run(measure_small(t, false, small_count)); },
         cost_rounds);
  percentiles("rtt", "us", [&](Target t) { return run(measure_rtt(t, round_trips)); });
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  percentiles("rtt_beside_upload", "us", [&](Target t) { return measure_neighbour(t, round_trips / 4, true, threads); });
  percentiles("rtt_beside_download", "us",
              [&](Target t) { return measure_neighbour(t, round_trips / 4, false, threads); });
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
    const std::size_t before = rss_bytes(base.gateway_pid);
    memory << "\"memory\":{";
    bool first = true;
    for (const std::size_t n : quick ? std::vector<std::size_t>{1000} : std::vector<std::size_t>{1000, 5000}) {
      asio::co_spawn(io, open_idle(t, held, n, failure), asio::detached);
      io.restart();
      io.run();
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      const std::size_t rss = rss_bytes(base.gateway_pid);
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

}  // namespace quillbench

int main(int argc, char** argv) {
  using namespace quillbench;
  std::vector<std::string> args(argv + 1, argv + argc);
  const auto has = [&](const char* flag) { return std::find(args.begin(), args.end(), flag) != args.end(); };
  const auto value = [&](const char* flag) {
    const auto it = std::find(args.begin(), args.end(), flag);
    if (it == args.end() || it + 1 == args.end()) throw std::runtime_error(std::string("missing ") + flag);
    return std::stoi(*(it + 1));
  };
  try {
    const auto port = [&](const char* flag) { return static_cast<std::uint16_t>(value(flag)); };
    if (!args.empty() && args[0] == "backend") return run_backend(has("--tls12"), has("--no-tickets"));
    if (!args.empty() && args[0] == "forwarder") return run_forwarder(port("--backend"));
    if (!args.empty() && args[0] == "loop-forwarder") return run_loop_forwarder(port("--backend"));
    if (!args.empty() && args[0] == "run") {
      Target t{Path::gateway, port("--gateway"), port("--backend"), port("--forwarder"), port("--loop-forwarder")};
      t.gateway_pid = value("--gateway-pid");
      t.forwarder_pid = value("--forwarder-pid");
      t.loop_forwarder_pid = value("--loop-forwarder-pid");
      const auto only = std::find(args.begin(), args.end(), "--only");
      return run_client(t, has("--quick"), has("--setup-only"),
                        only != args.end() && only + 1 != args.end() ? *(only + 1) : "");
    }
    std::cerr << "usage: quillbench backend [--tls12] [--no-tickets]\n"
                 "       quillbench forwarder|loop-forwarder --backend P\n"
                 "       quillbench run --gateway P --backend P --forwarder P --loop-forwarder P\n"
                 "                      --gateway-pid N --forwarder-pid N --loop-forwarder-pid N\n"
                 "                      [--quick] [--setup-only] [--only M]\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "quillbench: " << e.what() << std::endl;
    return 1;
  }
}
