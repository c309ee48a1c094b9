#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <thread>
#include <vector>

namespace quillgate::proxy {

// The event loops that run the connection tasks: one per worker thread, each
// run by its own thread alone. A connection stays on the loop it was dealt,
// so its steps never hand over between threads and its two relay directions
// need no strand to take turns.
class WorkerLoops {
 public:
  // Starts `count` loops and their threads; throws if a thread cannot start
  // (the ones already started are stopped and joined first).
  explicit WorkerLoops(unsigned count);

  // Stops the loops and joins their threads, then destroys the loops: every
  // task still open is destroyed at its suspension point, its sockets close
  // and its guard runs.
  ~WorkerLoops();

  WorkerLoops(const WorkerLoops&) = delete;
  WorkerLoops& operator=(const WorkerLoops&) = delete;

  // The loop for the next connection, in turn. Called by the accept loop only.
  boost::asio::any_io_executor next();

 private:
  void stop();

  using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;
  std::vector<std::unique_ptr<boost::asio::io_context>> loops_;
  std::vector<WorkGuard> work_;
  std::vector<std::thread> threads_;
  std::size_t next_ = 0;
};

// One per available processor.
unsigned worker_count();

}  // namespace quillgate::proxy
