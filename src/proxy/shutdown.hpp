#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <memory>
#include <mutex>

namespace quillgate::proxy {

// A one-shot signal from the thread that stops the service to the accept
// loop. The receiver completes when the sender fires or is destroyed.
class ShutdownSignal {
  struct State {
    std::mutex mutex;
    bool fired = false;
    // The receiver's pending wait, registered while it waits; guarded by mutex.
    boost::asio::steady_timer* timer = nullptr;
  };

 public:
  class Sender {
   public:
    explicit Sender(std::shared_ptr<State> state) : state_(std::move(state)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&&) noexcept = default;
    ~Sender() { fire(); }
    void fire();

   private:
    std::shared_ptr<State> state_;
  };

  class Receiver {
   public:
    explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) {}
    bool fired() const;
    // Completes once the signal has fired. Must not run concurrently with
    // itself.
    boost::asio::awaitable<void> wait();

   private:
    std::shared_ptr<State> state_;
  };

  static std::pair<Sender, Receiver> make() {
    auto state = std::make_shared<State>();
    return {Sender(state), Receiver(state)};
  }
};

}  // namespace quillgate::proxy
