#include "proxy/relay.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <algorithm>
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

constexpr std::size_t tls_record_size = 16384;  // the most plaintext a record carries
// The server's stream goes to the client in messages of up to this much:
// while the server streams (full records), as many records as OpenSSL has
// decrypted or can decrypt without waiting, so that a message, and a write to
// the client, carries as much as is there. A message ends with the first
// record that is not full: what a server sends in a few small records (the
// end of its connection sequence, input echoes) goes a record per message.
// IronRDP's web client depends on that: it reads the connection sequence
// with a reader of its own and drops whatever that reader holds when the
// sequence ends, so the first update must not share a message with the
// sequence's last PDU (xrdp and FreeRDP write it as a record of its own).
// Three full records: with its 4-byte header such a message goes in one send
// call. Asio writes at most `one_send` per call, so a message of four records
// (64 KiB and a 10-byte header) took a second call, and a second TCP segment,
// for its last 10 bytes.
constexpr std::size_t one_send = 64 * 1024;
constexpr std::size_t server_message_size = 3 * tls_record_size;
constexpr std::size_t record_frame_size = tls_record_size + 4;  // a full record as a message, with its header
// Client messages are relayed in pieces of at most this much: a large
// message is never held whole (it may be up to 64 MiB), and the task lets the
// other connections on its thread run between pieces. A message that fits
// goes to the server in one write.
constexpr std::size_t client_piece_size = 64 * 1024;

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
// server closing TCP without one. Anything else is a failure; so is an end
// without a close notification once `close_notify_needed`, after a write
// failed otherwise than on a server that had closed its side: the system
// reports a reset once, and the next read sees an end; after a TLS failure
// every read does.
bool server_stream_ended(const boost::system::error_code& ec, bool close_notify_needed) {
  return ec == asio::error::eof || (ec == asio::ssl::error::stream_truncated && !close_notify_needed);
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
    // Kept while the client streams, given back when it pauses (and before
    // the WebSocket layer starts a message in it): an idle connection holds
    // none of it.
    beast::flat_buffer piece;
    ClientStream& client = ws_.next_layer();
    for (;;) {
      // A piece is the rest of the current message, as far as it has come,
      // up to the size of a piece, and the messages after it that are
      // already here whole. The bytes are one stream to the server: many
      // small messages (input events) then cost one TLS write, not one each.
      // Whole Binary messages are taken straight from the client's stream;
      // Beast reads everything else, answering Pings inside the read and
      // returning only message data.
      boost::system::error_code read_error;
      bool streamed = false;  // the piece filled up (or a piece's worth was used) without waiting
      for (;;) {
        if (over_) co_return;
        if (!client_gone() && ws_.is_message_done()) {
          const auto taken = client.take_messages(piece, client_piece_size);
          if (taken == ClientStream::Taken::full || piece.size() == client_piece_size) {
            streamed = true;
            break;
          }
          // What came goes now, not after a wait or a frame of the client's
          // own (a Ping answered, a Close).
          if (piece.size() > 0) break;
          // A failed wait leaves the failure to Beast's read below. The
          // client pauses (or stops) here: the piece is given back first.
          if (taken == ClientStream::Taken::drained) {
            piece.shrink_to_fit();
            if (!co_await client.wait_readable()) continue;
          }
        }
        // A message the WebSocket layer reads (Text, fragmented, larger than
        // a piece) starts in an empty piece sized by that layer's read: a
        // client that stops within its first frame holds that frame's part,
        // not a piece. Within the message the piece is kept, so that a large
        // one is not read into a fresh block every 64 KiB.
        if (piece.size() == 0 && ws_.is_message_done()) piece.shrink_to_fit();
        std::tie(read_error, std::ignore) =
            co_await ws_.async_read_some(piece, client_piece_size - piece.size(), token);
        if (read_error || piece.size() == client_piece_size) break;
        if (ws_.is_message_done() && !client.next_message_ready()) break;
      }
      if (over_ || closing_client_) co_return;  // the Close has been answered, or given up on
      // What came before a failure is the client's too: it goes first.
      if (piece.size() > 0 && !server_ended_ && !write_failure_) {
        if (auto write_error = co_await tls_.write_all(bytes_of(piece).data(), piece.size())) {
          if (over_ || server_ended_) co_return;
          // What the server sent before is still to be read: a server that
          // ended its stream and closed (at logoff) resets the input that
          // arrives after it, and that reset may show here first. The other
          // direction reads on to the end of the stream, and the client's
          // messages are dropped meanwhile; only if the stream does not end
          // in order is this the relay's failure.
          write_failure_ = Error{"写入 TLS 失败: " + write_error.message()};
          close_notify_needed_ = write_error != asio::error::broken_pipe;
          start_closing();
        }
      }
      if (read_error) {
        // A client that sends its Close and resets before the answer is out
        // still closed in order.
        if (read_error == websocket::error::closed || read_error == asio::error::eof || client_closed_) {
          co_return co_await client_ended();
        }
        fail(Error{"读取 WebSocket 失败: " + read_error.message()});
        co_return end_now();
      }
      piece.consume(piece.size());
      if (!client.has_buffered()) piece.shrink_to_fit();
      // Other connections on this thread run between pieces.
      if (streamed) co_await asio::post(ws_.get_executor(), token);
    }
  }

  asio::awaitable<void> server_to_client() {
    // The message buffer is held only while the server is sending: taken when
    // data is there to read, given back once everything read has gone to the
    // client. An idle connection does not pay for it. It holds a record
    // unless the server streams, which takes a message's worth: a server
    // that sends now and then does not make every connection take (and give
    // back) a large block.
    std::unique_ptr<std::uint8_t[]> buffer;
    std::size_t capacity = 0;
    const auto take = [&](std::size_t size, std::size_t keep = 0) {
      if (capacity >= size) return;
      auto larger = std::make_unique_for_overwrite<std::uint8_t[]>(size);
      std::copy(buffer.get(), buffer.get() + keep, larger.get());
      buffer = std::move(larger);
      capacity = size;
    };
    const auto give_back = [&] {
      buffer.reset();
      capacity = 0;
    };
    ws_.binary(true);
    // The last message held a whole record or more: the server is streaming,
    // so the next read is tried before a wait is armed (arming one costs a
    // system call).
    bool streaming = false;
    for (;;) {
      boost::system::error_code read_error = asio::error::would_block;
      std::size_t size = 0;
      if (streaming) {
        take(server_message_size);
        std::tie(read_error, size) = tls_.read_now(buffer.get(), capacity);
        if (read_error == asio::error::would_block) give_back();  // the wait below holds none
      }
      if (read_error == asio::error::would_block) {
        if (auto wait_error = co_await tls_.wait_readable()) co_return co_await server_stopped(wait_error);
        take(streaming ? server_message_size : tls_record_size);
        std::tie(read_error, size) = co_await tls_.read_some(buffer.get(), capacity);
      }
      if (read_error) co_return co_await server_stopped(read_error);
      // Behind a full record, whatever else can be read now joins the
      // message, up to the first record that is not full. An end or a
      // failure met here comes after what was read, which goes first.
      streaming = size >= tls_record_size;
      if (streaming) take(server_message_size, size);
      for (bool full = streaming; full && size < server_message_size;) {
        const auto [more_error, more] = tls_.read_now(buffer.get() + size, server_message_size - size);
        if (more_error) {
          if (more_error != asio::error::would_block) read_error = more_error;
          break;
        }
        size += more;
        full = more >= tls_record_size;
      }
      server_bytes_read_ += size;
      if (!client_gone()) {
        // Records that are not full and are already here go a message each,
        // held and sent with one write. A full record among them ends the
        // holding: the records behind it are joined, as the server streams.
        ClientStream& client = ws_.next_layer();
        if (!streaming && !read_error && tls_.has_pending()) client.hold_writes();
        for (;;) {
          auto [write_error, written] = co_await ws_.async_write(asio::buffer(buffer.get(), size), token);
          if (write_error) {
            if (!client_write_failed(write_error)) co_return;
            break;
          }
          // Held messages leave in one send (unless the WebSocket layer adds
          // a control frame meanwhile): room for one more record and its
          // header, or the flush.
          if (!client.holding() || streaming || client.held() + record_frame_size > one_send) break;
          boost::system::error_code more_error;
          std::tie(more_error, size) = tls_.read_now(buffer.get(), capacity);
          if (more_error) {
            if (more_error != asio::error::would_block) read_error = more_error;
            break;
          }
          server_bytes_read_ += size;
          streaming = size >= tls_record_size;
        }
        if (client.holding()) {
          if (auto flush_error = co_await client.flush(); flush_error && !client_write_failed(flush_error)) co_return;
        }
      } else {
        // Dropped, once the client has ended. A server that streams on while
        // the gateway drains it would otherwise keep this loop from ever
        // waiting, and the thread from serving any other connection.
        co_await asio::post(ws_.get_executor(), token);
      }
      if (read_error) co_return co_await server_stopped(read_error);
      if (!streaming && !tls_.has_pending()) give_back();
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
    const bool in_order = server_stream_ended(ec, close_notify_needed_);
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
  bool close_notify_needed_ = false;    // after that failure, only a close notification is an end in order
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
