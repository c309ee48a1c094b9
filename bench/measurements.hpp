// The client's measurements, each on one path (Target::path).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quillbench.hpp"

namespace quillbench {

struct Throughput {
  double mib_s;        // as the client sees it
  double ns_per_byte;  // processor time of the relaying process
};

// What AES-256-GCM alone costs, per byte, in this thread's processor time:
// `bytes` sealed in 16 KiB records with TLS's per-record steps (a fresh
// nonce, the record header as associated data, the tag). Measured beside
// each round of the throughput measures, so that the cost above it is set
// against the machine's speed at that moment, not at another.
double measure_aes_gcm(std::uint64_t bytes);
awaitable<Throughput> measure_download(Target t, std::uint64_t bytes);
awaitable<Throughput> measure_upload(Target t, std::uint64_t bytes);
// Processor time of the relaying process per small message, in nanoseconds.
awaitable<double> measure_small(Target t, bool to_server, std::uint64_t count);
// {p50, p99} of round trips of 100-byte messages, in microseconds.
awaitable<std::pair<double, double>> measure_rtt(Target t, int round_trips);
// The same, of a connection beside one moving 60 MiB messages on its relaying
// thread (`threads`: how many the gateway has).
std::pair<double, double> measure_neighbour(Target t, int round_trips, bool upward, unsigned threads);
// {p50, p99} of the delay of the second of two interactive messages, in ms.
awaitable<std::pair<double, double>> measure_interactive(Target t, bool to_server, int rounds);
// Connections per second.
awaitable<double> measure_setup(Target t, int parallel, int per_worker);

std::size_t rss_bytes(int pid);
awaitable<void> open_idle(Target t, std::vector<std::unique_ptr<Channel>>& held, std::size_t count,
                          std::string& failure);
awaitable<std::size_t> count_alive(std::vector<std::unique_ptr<Channel>>& held);

}  // namespace quillbench
