#include "proxy/relay.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <span>
#include <tuple>

#include "proxy/platform.hpp"

namespace quillgate::proxy {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

constexpr auto token = asio::as_tuple(asio::use_awaitable);

constexpr std::size_t relay_read_size = 16384;
// While OpenSSL holds more of the server's stream, up to this many messages
// are sent with one write: a quarter of the system calls when streaming, and
// still a bounded amount read ahead of a slow client.
constexpr int messages_per_write = 4;
constexpr std::size_t message_header_size = 4;  // a Binary frame of 126..65535 bytes
// A client message buffer grown beyond this is released once the message is
// written, so that one large message does not pin its memory for the life of
// the connection.
constexpr std::size_t kept_message_capacity = 64 * 1024;

// How long the side that did not end is given to take the rest and close in
// turn, the client answering the Close, the server the close notification:
// either normally does within a round trip. A peer that shows no progress
// for this long (nothing arrives from it, and nothing more of what was sent
// to it is acknowledged) is given up on; this bounds what a peer that never
// answers holds, its descriptors and its entry in the list of connections.
// A slow peer still taking the last megabytes sent to it (up to a socket
// buffer's worth is on its way when the other side ends) is given more
// time, up to the longest ending below: closing before it has taken them
// would reset the connection and lose them.
constexpr auto closing_time_limit = std::chrono::seconds(3);
constexpr auto longest_closing = std::chrono::seconds(30);

std::span<const std::uint8_t> bytes_of(const beast::flat_buffer& buffer) {
  const auto data = buffer.cdata();
  return {static_cast<const std::uint8_t*>(data.data()), data.size()};
}

// The end of the server's stream in order: a close notification, or the
// server closing TCP without one. Anything else is a failure.
bool server_stream_ended(const boost::system::error_code& ec) {
  return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

// What a closing connection watches to tell a slow peer from one that does
// not answer.
struct Progress {
  std::uint64_t from_client = 0;  // bytes read
  std::uint64_t from_server = 0;
  std::optional<std::size_t> client_unacknowledged;  // where the system tells
  std::optional<std::size_t> server_unacknowledged;
};

bool shrank(const std::optional<std::size_t>& was, const std::optional<std::size_t>& is) {
  return was && is && *is < *was;
}

// Both directions of one connection, run in one task. The first side to end
// decides how the other is ended; the flags say what is still open. A task
// runs one step at a time, so they need no lock.
class Relay {
 public:
  Relay(WebSocket& ws, TlsStream& tls)
      : ws_(ws), tls_(tls), deadline_(ws.get_executor(), asio::steady_timer::time_point::max()) {}

  asio::awaitable<std::optional<Error>> run() {
    using namespace asio::experimental::awaitable_operators;
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind != websocket::frame_type::close) return;
      client_closed_ = true;
      // The clock starts now, not once the answer is out: a client that
      // sends its Close and stops reading keeps the answer from leaving.
      start_closing();
    });
    co_await ((guarded(&Relay::client_to_server) && guarded(&Relay::server_to_client)) || closing_deadline());
    ws_.control_callback();
    co_return std::move(result_);
  }

 private:
  // Runs one direction. Neither may end by throwing: the deadline would then
  // be all that is left to end the relay. After the deadline each throws at
  // its next wait, which ends it.
  asio::awaitable<void> guarded(asio::awaitable<void> (Relay::*direction)()) {
    try {
      co_await (this->*direction)();
    } catch (const std::exception& e) {
      fail(Error{e.what()});
      end_now();
    }
  }

  asio::awaitable<void> client_to_server() {
    beast::flat_buffer message;
    for (;;) {
      // Beast answers Pings inside the read and returns only data messages.
      auto [read_error, size] = co_await ws_.async_read(message, token);
      if (over_ || closing_client_) co_return;  // the Close has been answered, or given up on
      if (read_error) {
        // A client that sends its Close and resets before the answer is out
        // still closed in order.
        if (read_error == websocket::error::closed || read_error == asio::error::eof || client_closed_) {
          co_return co_await client_ended();
        }
        fail(Error{"读取 WebSocket 失败: " + read_error.message()});
        co_return end_now();
      }
      if (!server_ended_ && !write_failure_) {
        if (auto write_error = co_await tls_.write_all(bytes_of(message).data(), size)) {
          if (over_ || server_ended_) co_return;
          // What the server sent before is still to be read: a server that
          // ended its stream and closed (at logoff) resets the input that
          // arrives after it, and that reset may show here first. The other
          // direction reads on to the end of the stream, and the client's
          // messages are dropped meanwhile; only if the stream does not end
          // in order is this the relay's failure.
          write_failure_ = Error{"写入 TLS 失败: " + write_error.message()};
          start_closing();
        }
      }
      message.consume(message.size());
      if (message.capacity() > kept_message_capacity) message.shrink_to_fit();
    }
  }

  asio::awaitable<void> server_to_client() {
    // The read buffer is held only while the server is sending: taken when
    // data is there to read, given back once everything read has gone to the
    // client. An idle connection then costs 16 KiB less.
    std::unique_ptr<std::uint8_t[]> buffer;
    ClientStream& client = ws_.next_layer();
    ws_.binary(true);
    // The last read filled the buffer: the server is streaming, so the next
    // read is tried before a wait is armed (arming one costs a system call).
    bool streaming = false;
    for (;;) {
      boost::system::error_code read_error = asio::error::would_block;
      std::size_t size = 0;
      if (!buffer && streaming) {
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(relay_read_size);
        std::tie(read_error, size) = tls_.read_now(buffer.get(), relay_read_size);
        if (read_error == asio::error::would_block) buffer.reset();
      }
      if (read_error == asio::error::would_block) {
        if (!buffer) {
          if (auto wait_error = co_await tls_.wait_readable()) co_return co_await server_stopped(wait_error);
          buffer = std::make_unique_for_overwrite<std::uint8_t[]>(relay_read_size);
        }
        std::tie(read_error, size) = co_await tls_.read_some(buffer.get(), relay_read_size);
      }
      if (read_error) co_return co_await server_stopped(read_error);
      server_bytes_read_ += size;
      // One Binary message per TLS read. When more of the stream is already
      // here, the messages are held and leave together; whatever was read is
      // sent before the direction ends, whatever ends it. Once the client has
      // ended, the rest of the server's stream is read and dropped.
      if (!client_gone()) {
        if (tls_.has_pending()) client.hold_writes(messages_per_write * (relay_read_size + message_header_size));
        for (int sent = 1;; ++sent) {
          auto [write_error, written] = co_await ws_.async_write(asio::buffer(buffer.get(), size), token);
          if (write_error && !client_write_failed(write_error)) co_return;
          streaming = size == relay_read_size;
          if (write_error || !client.holding() || sent == messages_per_write || !tls_.has_pending()) break;
          std::tie(read_error, size) = tls_.read_now(buffer.get(), relay_read_size);
          if (read_error) break;
          server_bytes_read_ += size;
        }
        if (client.holding()) {
          if (auto write_error = co_await client.flush(); write_error && !client_write_failed(write_error)) co_return;
        }
        if (read_error && read_error != asio::error::would_block) co_return co_await server_stopped(read_error);
      } else {
        // Dropped. A server that streams on while the gateway drains it
        // would otherwise keep this loop from ever waiting, and the thread
        // from serving any other connection.
        streaming = size == relay_read_size;
        co_await asio::post(ws_.get_executor(), token);
      }
      if (!tls_.has_pending()) buffer.reset();
    }
  }

  // A write to the client failed. After the client's Close that is how its
  // end shows here, and the server's stream is dropped from then on; otherwise
  // the client's connection is broken, and the relay ends at once. Returns
  // whether to go on reading the server.
  bool client_write_failed(const boost::system::error_code& ec) {
    if (over_) return false;
    if (client_gone()) return true;
    fail(Error{"写入 WebSocket 失败: " + ec.message()});
    end_now();
    return false;
  }

  // Reading the server's stream ended: in order, failed, or closed here. A
  // failed write to the server counts only if the stream failed too.
  asio::awaitable<void> server_stopped(const boost::system::error_code& ec) {
    if (over_ || server_ended_) co_return;  // closed here
    const bool in_order = server_stream_ended(ec);
    std::optional<Error> failure;
    if (!in_order) failure = write_failure_ ? std::move(*write_failure_) : Error{"读取 TLS 失败: " + ec.message()};
    write_failure_.reset();
    if (end_server(std::move(failure))) {
      co_await close_client(in_order ? websocket::close_code::normal : websocket::close_code::internal_error);
    }
  }

  // The server's side is over, in order or with `failure`: its connection is
  // closed at once. Returns whether the client is to get a Close saying
  // which: not when it has ended itself (then the server's end closes a
  // drain, and is no failure). Not a coroutine, so that the error is never
  // a temporary of a co_await expression (which g++ 12 mishandles).
  bool end_server(std::optional<Error> failure) {
    server_ended_ = true;
    tls_.close();
    if (client_gone()) return false;
    if (failure) fail(std::move(*failure));
    return true;
  }

  // Sends the client a Close after whatever message is under way, then reads
  // and drops its messages until its Close (which a pending read in the
  // other direction hands over to this), then ends the connection.
  asio::awaitable<void> close_client(websocket::close_code code) {
    closing_client_ = true;
    start_closing();
    co_await ws_.async_close(code, token);
  }

  // The client has ended in order: its Close (already answered) or the end
  // of its stream. Each of its messages was written whole before the next
  // was read, so the server has them all; the close notification follows,
  // and the server's answer ends the other direction's drain.
  asio::awaitable<void> client_ended() {
    client_ended_ = true;
    if (server_ended_) co_return;
    start_closing();
    if (auto ec = co_await tls_.shutdown(); ec && !over_ && !server_ended_) {
      server_ended_ = true;
      tls_.close();
    }
  }

  // Nothing more is sent to the client.
  bool client_gone() const { return client_closed_ || client_ended_ || closing_client_; }

  void fail(Error error) {
    if (!result_ && !over_) result_ = std::move(error);
  }

  // The first side's end starts the clock for the other.
  void start_closing() {
    if (deadline_.expiry() != asio::steady_timer::time_point::max()) return;
    closing_since_ = std::chrono::steady_clock::now();
    last_progress_ = progress();
    deadline_.expires_after(closing_time_limit);
  }

  Progress progress() {
    return {ws_.next_layer().bytes_read(), server_bytes_read_,
            platform::unacknowledged_bytes(ws_.next_layer().next_layer()),
            platform::unacknowledged_bytes(tls_.socket())};
  }

  // The side still to close has moved on since the deadline was last set: it
  // is given the limit again, within the longest ending. After the client's
  // end, the server is waited for: it shows progress by taking what was sent
  // to it (the bytes it still sends are only dropped), or, where the system
  // does not tell, by sending. Otherwise the client is: by taking what it was
  // sent (the server's last bytes, the Close), or by sending (it may finish a
  // large message before it answers); after a failed write the server's
  // stream still arriving counts too.
  bool still_closing() {
    if (over_ || std::chrono::steady_clock::now() - closing_since_ >= longest_closing) return false;
    const Progress now = progress();
    const Progress& was = last_progress_;
    const bool moved =
        (client_closed_ || client_ended_) && !server_ended_
            ? shrank(was.server_unacknowledged, now.server_unacknowledged) ||
                  (!now.server_unacknowledged && now.from_server > was.from_server)
            : shrank(was.client_unacknowledged, now.client_unacknowledged) || now.from_client > was.from_client ||
                  (write_failure_ && now.from_server > was.from_server);
    if (!moved) return false;
    last_progress_ = now;
    return true;
  }

  // Nothing more can be delivered: both connections are dropped now.
  void end_now() {
    over_ = true;
    deadline_.expires_after(std::chrono::seconds(0));
  }

  // Waits for the deadline, which is set when a side ends; when it passes with
  // no progress, both connections are closed, failing whatever still waits
  // on them.
  asio::awaitable<void> closing_deadline() {
    for (;;) {
      auto [ec] = co_await deadline_.async_wait(token);
      if (ec) {
        // Cancelled: the relay has ended, or the deadline was moved.
        if ((co_await asio::this_coro::cancellation_state).cancelled() != asio::cancellation_type::none) co_return;
        continue;
      }
      if (!still_closing()) break;
      deadline_.expires_after(closing_time_limit);
    }
    // A server that failed a write and never ended its stream: that failure
    // is the result.
    if (write_failure_) fail(std::move(*write_failure_));
    over_ = true;
    tls_.close();
    boost::system::error_code ignored;
    beast::get_lowest_layer(ws_).close(ignored);
  }

  WebSocket& ws_;
  TlsStream& tls_;
  asio::steady_timer deadline_;
  std::optional<Error> result_;
  std::optional<Error> write_failure_;  // a write to the server failed; its stream is read on
  std::chrono::steady_clock::time_point closing_since_;
  Progress last_progress_;
  std::uint64_t server_bytes_read_ = 0;
  bool client_closed_ = false;   // the client's Close has arrived
  bool client_ended_ = false;    // the client's side has ended in order
  bool closing_client_ = false;  // a Close of the gateway's is on its way
  bool server_ended_ = false;    // the server's connection is closed
  bool over_ = false;            // nothing more is to be done: everything is dropped
};

}  // namespace

asio::awaitable<std::optional<Error>> relay(WebSocket& ws, TlsStream& tls) {
  Relay relay(ws, tls);
  co_return co_await relay.run();
}

}  // namespace quillgate::proxy
