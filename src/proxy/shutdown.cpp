#include "proxy/shutdown.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace quillgate::proxy {

namespace asio = boost::asio;

void ShutdownSignal::Sender::fire() {
  if (!state_) return;
  const std::lock_guard lock(state_->mutex);
  if (state_->fired) return;
  state_->fired = true;
  // The timer belongs to the receiver's event loop: cancel it there. The
  // registration is checked again when the cancel runs, since the wait may
  // have ended in between.
  if (state_->timer) {
    asio::post(state_->timer->get_executor(), [state = state_] {
      const std::lock_guard lock(state->mutex);
      if (state->timer) state->timer->cancel();
    });
  }
}

bool ShutdownSignal::Receiver::fired() const {
  const std::lock_guard lock(state_->mutex);
  return state_->fired;
}

asio::awaitable<void> ShutdownSignal::Receiver::wait() {
  asio::steady_timer timer(co_await asio::this_coro::executor, asio::steady_timer::time_point::max());
  {
    const std::lock_guard lock(state_->mutex);
    if (state_->fired) co_return;
    state_->timer = &timer;
  }
  // Unregisters before the timer goes, also when this frame is destroyed
  // without resuming.
  struct Unregister {
    State& state;
    ~Unregister() {
      const std::lock_guard lock(state.mutex);
      state.timer = nullptr;
    }
  } unregister{*state_};
  co_await timer.async_wait(asio::as_tuple(asio::use_awaitable));
}

}  // namespace quillgate::proxy
