#include "proxy/workers.hpp"

#include "proxy/system.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;

unsigned worker_count() { return os::processor_count(); }

WorkerLoops::WorkerLoops(unsigned count) {
  for (unsigned i = 0; i < count; ++i) {
    loops_.push_back(std::make_unique<asio::io_context>(1));
    work_.push_back(asio::make_work_guard(*loops_.back()));
  }
  try {
    for (auto& loop : loops_) {
      threads_.emplace_back([&loop = *loop] {
        for (;;) {
          try {
            loop.run();
            return;
          } catch (...) {
            // Connection tasks catch their own faults; anything else that
            // escapes a handler must not end the worker.
          }
        }
      });
    }
  } catch (...) {
    stop();
    throw;
  }
}

WorkerLoops::~WorkerLoops() { stop(); }

void WorkerLoops::stop() {
  for (auto& guard : work_) guard.reset();
  for (auto& loop : loops_) loop->stop();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

asio::any_io_executor WorkerLoops::next() {
  const std::size_t i = next_++ % loops_.size();
  return loops_[i]->get_executor();
}

}  // namespace quillgate::proxy
